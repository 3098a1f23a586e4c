#include "tools/RunReport.h"

namespace {
thread_local RunReport runReport;
}  // namespace

RunReport& CurrentRunReport() { return runReport; }
