#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace dravelin {

// The `dravelin-model` command: describe, run or time one model bundle.
// Returns the process exit status: 0 on success, 1 when the work failed,
// 2 for a command line it cannot understand. Errors are one line on `err`.
int runModelTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace dravelin
