// Shared test helpers: the coder harness (harness.h) with its protocol checks
// as test failures, temporary files, running the built program and capturing
// what it prints.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#define HARNESS_EXPECT(ok, what) EXPECT_TRUE(ok) << (what)
#include "harness.h"

using namespace lrd;

// A coder body with the name its tests carry, for suites run over each body.
template <class Body>
struct named_body {
  const char* name;
  Body body;
};
template <class Body>
void PrintTo(const named_body<Body>& b, std::ostream* os) {
  *os << b.name;
}
template <class Body>
std::string body_name(const ::testing::TestParamInfo<named_body<Body>>& i) {
  return i.param.name;
}

// Temporary files under the build tree's tmp folder.
inline std::string tmp_path(const std::string& name) {
  return std::string(LRDEDUP_TEST_TMP) + "/" + std::to_string(getpid()) + "_" + name;
}
inline void write_file(const std::string& path, const bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}
inline bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs a shell command line; returns the exit status and what it printed.
struct cmd_result {
  int status = -1;
  std::string out, err;
};
inline cmd_result run_cmd(const std::string& cmd) {
  std::string o = tmp_path("cmd.out"), e = tmp_path("cmd.err");
  int rc = std::system(("{ " + cmd + "; } >" + o + " 2>" + e).c_str());
  cmd_result r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
  bytes ob = read_file(o), eb = read_file(e);
  r.out.assign(ob.begin(), ob.end());
  r.err.assign(eb.begin(), eb.end());
  std::remove(o.c_str());
  std::remove(e.c_str());
  return r;
}
inline std::string exe() { return LRDEDUP_EXE; }
