// The option form of the command line, lrdedup [OPTIONS] [FILE...]: each
// option, the output names, refusals, several files, the input's mode and
// times carried over, and tar's -I.
#include <sys/stat.h>

#include <cstring>
#include <sstream>

#include "lrdedup.h"
#include "test_util.h"

using namespace lrd;

namespace {

// A folder for one case, holding the data `a` and `b`, its stream `s.lrd`,
// and `old`, a file that must not be written over.
struct folder {
  std::string dir = tmp_path("opts");
  bytes data = with_repeats(400000, 100000, 41), stream;
  folder() {
    std::system(("rm -rf " + dir + " && mkdir " + dir).c_str());
    write_file(at("a"), data);
    write_file(at("b"), data);
    write_file(at("old"), to_bytes("old bytes"));
    EXPECT_EQ(run_cmd(exe() + " e " + at("a") + " " + at("s.lrd")).status, 0);
    stream = read_file(at("s.lrd"));
  }
  ~folder() { std::system(("rm -rf " + dir).c_str()); }
  std::string at(const std::string& name) const { return dir + "/" + name; }
  // The program run in the folder with `args`.
  cmd_result run(const std::string& args) const { return run_cmd("cd " + dir + " && " + exe() + " " + args); }
  // What the file holds: D the data, S the stream, O the old bytes, - none, ? other.
  char holds(const std::string& name) const {
    if (!file_exists(at(name))) return '-';
    const bytes b = read_file(at(name));
    return b == data ? 'D' : b == stream ? 'S' : b == to_bytes("old bytes") ? 'O' : '?';
  }
};

// The data's sizes in the summary lines: 400000 bytes, and its stream's.
const std::string enc_a = "a: 400 kB -> 149 kB (37.3%)\n", dec_s = "s.lrd: 149 kB -> 400 kB\n";
const std::string stats = "c_discard=0\nsum=400000 x=2390 avglen=167.3\n";

struct option_case {
  const char* args;
  int status;
  std::string err;    // standard error, whole
  const char* out;    // standard output: "" nothing, "D" the data, "S" the stream
  const char* files;  // "name=X ...": what each file holds then, as folder::holds says
};

const option_case cfg_cases[] = {
    // Encoding: FILE to FILE.lrd, the input kept; the summary on standard error.
    {"a", 1, "*usage", "", "a.lrd=-"},  // a first argument without '-' is the mode form
    {"-- a", 0, enc_a, "", "a=D a.lrd=S"},
    {"-k a", 0, enc_a, "", "a=D a.lrd=S"},
    {"-q a", 0, "", "", "a.lrd=S"},
    {"-v a", 0, enc_a + stats, "", "a.lrd=S"},
    {"-vq a", 0, enc_a, "", "a.lrd=S"},
    {"--rm a", 0, enc_a, "", "a=- a.lrd=S"},
    {"--rm -k a", 0, enc_a, "", "a=D a.lrd=S"},
    {"-c a", 0, "", "S", "a.lrd=-"},
    {"-cv a", 0, enc_a + stats, "S", "a.lrd=-"},
    {"--stdout --rm a", 0, "", "S", "a=D"},
    {"-T0 a -o x.lrd", 0, enc_a, "", "x.lrd=S"},
    {"--threads=1 --first-copy a", 0, enc_a, "", "a.lrd=S?"},
    {"-q < a", 0, "", "S", ""},
    {"-q - < a", 0, "", "S", ""},
    {"-o x.lrd < a", 0, "(stdin): 400 kB -> 149 kB (37.3%)\n", "", "x.lrd=S"},
    // Decoding: FILE.lrd to FILE; another name only with -c or -o.
    {"-d s.lrd", 0, dec_s, "", "s=D s.lrd=S"},
    {"--decompress -v s.lrd", 0, dec_s + "sum=400000 x=2390 avglen=167.3\n", "", "s=D"},
    {"--uncompress --rm s.lrd", 0, dec_s, "", "s=D s.lrd=-"},
    {"-dc s.lrd", 0, "", "D", "s=-"},
    {"-dc s.lrd | cat", 0, "", "D", ""},  // into a pipe
    {"-d < s.lrd", 0, "", "D", ""},
    {"-d a", 1, "lrdedup: a: not named *.lrd; name the output with -o, or use -c\n", "", "a=D"},
    {"-d .lrd", 1, "lrdedup: .lrd: not named *.lrd; name the output with -o, or use -c\n", "", ""},
    {"-d -o x s.lrd", 0, dec_s, "", "x=D"},
    // An existing output: refused and untouched, unless forced.
    {"-d s.lrd -o old", 1, "lrdedup: old: already exists; not overwritten\n", "", "old=O s.lrd=S"},
    {"-o old --rm a", 1, "lrdedup: old: already exists; not overwritten\n", "", "old=O a=D"},
    {"-dfo old s.lrd", 0, dec_s, "", "old=D"},
    {"-qd --rm s.lrd -o /dev/null", 0, "", "", "s.lrd=S"},
    // Several files: each on its own; one that fails is named, the others go on.
    {"-q a missing b", 1, "lrdedup: missing: No such file or directory\n", "", "a.lrd=S b.lrd=S"},
    {"-qd s.lrd a a.lrd", 1, "lrdedup: a: not named *.lrd; name the output with -o, or use -c\n"
                             "lrdedup: a.lrd: No such file or directory\n", "", "s=D"},
    {"-q a b -o x", 1, "lrdedup: -o takes the output of one input, not of 2\n", "", "x=- a.lrd=-"},
    {"-c a b", 1, "lrdedup: -c takes the output of one input, not of 2\n", "", "a.lrd=-"},
    // Help and version anywhere; unknown options and wrong values.
    {"-q a -h b", 0, "", "usage: lrdedup [OPTIONS] [FILE...]", "a.lrd=-"},
    {"-dV a", 0, "", "lrdedup " LRD_VERSION_STRING "\n", ""},
    {"-- -h", 1, "lrdedup: -h: No such file or directory\n", "", ""},
    {"-x a", 1, "lrdedup: unknown option '-x' (lrdedup --help lists them)\n", "", "a.lrd=-"},
    {"-dkx s.lrd", 1, "lrdedup: unknown option '-x' (lrdedup --help lists them)\n", "", "s=-"},
    {"--long a", 1, "lrdedup: unknown option '--long' (lrdedup --help lists them)\n", "", ""},
    {"--keep=1 a", 1, "lrdedup: option '--keep' takes no value\n", "", ""},
    {"-q a -o", 1, "lrdedup: option '-o' needs a value\n", "", "a.lrd=-"},
    {"-T x a", 1, "lrdedup: -T takes a number of helper threads, not 'x'\n", "", "a.lrd=-"},
    {"--threads=99 a", 1, "lrdedup: the library refuses -T 99: parameter out of range\n", "", "a.lrd=-"},
};

TEST(Options, EachLineDoesWhatItSays) {
  for (const option_case& c : cfg_cases) {
    folder f;
    const cmd_result r = f.run(std::string(c.args) + " > stdout.bin");
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
    if (c.err.starts_with("*"))
      EXPECT_NE(r.err.find(c.err.substr(1)), std::string::npos) << c.args << ": " << r.err;
    else
      EXPECT_EQ(r.err, c.err) << c.args;
    const bytes out = read_file(f.at("stdout.bin"));
    const std::string text(out.begin(), out.end());
    if (!std::strcmp(c.out, "D") || !std::strcmp(c.out, "S"))
      EXPECT_EQ(f.holds("stdout.bin"), c.out[0]) << c.args;
    else
      EXPECT_TRUE(text.starts_with(c.out) && (*c.out || text.empty())) << c.args << ": " << text.size() << " bytes";
    std::istringstream want(c.files);
    for (std::string item; want >> item;) {
      const std::string name = item.substr(0, item.find('='));
      const std::string what = item.substr(item.find('=') + 1);
      EXPECT_NE(what.find(f.holds(name)), std::string::npos) << c.args << ": " << item;
    }
  }
}

TEST(Options, TheOutputTakesTheInputsModeAndTimes) {
  folder f;
  ASSERT_EQ(chmod(f.at("a").c_str(), 0640), 0);
  ASSERT_EQ(run_cmd("touch -d '2001-02-03 04:05:06' " + f.at("a")).status, 0);
  // Each file is looked at before a later run reads it (and moves its access time).
  struct stat in, enc, dec;
  ASSERT_EQ(stat(f.at("a").c_str(), &in), 0);
  ASSERT_EQ(f.run("-q a && mv a a.orig").status, 0);
  ASSERT_EQ(stat(f.at("a.lrd").c_str(), &enc), 0);
  ASSERT_EQ(f.run("-qd a.lrd").status, 0);
  ASSERT_EQ(stat(f.at("a").c_str(), &dec), 0);
  for (const struct stat* out : {&enc, &dec}) {
    EXPECT_EQ(out->st_mode & 07777, 0640u);
    EXPECT_EQ(out->st_mtim.tv_sec, in.st_mtim.tv_sec);
    EXPECT_EQ(out->st_mtim.tv_nsec, in.st_mtim.tv_nsec);
    EXPECT_EQ(out->st_atim.tv_sec, in.st_atim.tv_sec);
  }
  EXPECT_EQ(f.holds("a"), 'D');
}

TEST(Options, TarRunsItAsItsCompressor) {
  if (run_cmd("tar --version").status != 0) GTEST_SKIP() << "no tar";
  folder f;
  const std::string bin = exe().substr(0, exe().rfind('/'));
  // tar runs the program with no arguments to compress and with -d to
  // decompress; a command line of its own is split at spaces.
  for (const std::string prog : {"-I lrdedup", "--use-compress-program='lrdedup -T0'"}) {
    const std::string tar = "cd " + f.dir + " && PATH=" + bin + ":$PATH tar " + prog;
    ASSERT_EQ(run_cmd(tar + " -cf x.tar.lrd a b").status, 0) << prog;
    EXPECT_EQ(run_cmd(tar + " -df x.tar.lrd").status, 0) << prog;
    ASSERT_EQ(run_cmd("mkdir " + f.at("x")).status, 0);
    ASSERT_EQ(run_cmd(tar + " -xf x.tar.lrd -C x").status, 0) << prog;
    EXPECT_EQ(f.holds("x/a"), 'D') << prog;
    EXPECT_EQ(f.holds("x/b"), 'D') << prog;
    std::system(("rm -rf " + f.at("x") + " " + f.at("x.tar.lrd")).c_str());
  }
}

}  // namespace
