// The texts of the public interface: versions, results, faults.
#include "lrdedup.h"

unsigned lrd_version(void) { return LRD_VERSION_NUMBER; }

const char* lrd_version_string(void) { return LRD_VERSION_STRING; }

const char* lrd_error_string(int code) {
  switch (code) {
    case LRD_OK: return "ok: more input wanted";
    case LRD_OUTPUT_FULL: return "output buffer full";
    case LRD_DONE: return "done";
    case LRD_ERROR_NULL: return "null object or buffer";
    case LRD_ERROR_STATE: return "call out of order: after the end or an error, input after the end, or a setter after input";
    case LRD_ERROR_PARAM: return "parameter out of range";
    case LRD_ERROR_MEMORY: return "cannot allocate memory";
    case LRD_ERROR_BUFFER: return "buffer position beyond its size";
    case LRD_ERROR_CORRUPT: return "corrupt stream";
    default: return "unknown result code";
  }
}

const char* lrd_fault_string(int fault) {
  switch (fault) {
    case LRD_FAULT_NONE: return "no fault";
    case LRD_FAULT_TRUNCATED_REF: return "stream ends inside a reference";
    case LRD_FAULT_ZERO_DISTANCE: return "reference with distance 0";
    case LRD_FAULT_FAR_DISTANCE: return "reference beyond the 1000 MiB window";
    case LRD_FAULT_BEFORE_START: return "reference before the start of the data";
    default: return "unknown fault";
  }
}
