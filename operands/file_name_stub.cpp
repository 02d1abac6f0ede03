// Temporary: replaced by the file-name operands.
#include "runtime/pipe_set.h"
namespace ductrine {
bool CPipeSet::ParseFileName(CProcess&, const char**, std::string*, bool) { return false; }
bool CPipeSet::VerifyInputFile(CProcess&, const std::string&) { return false; }
}  // namespace ductrine
