// The two numbered message tables and their lookup.
#pragma once

#include <cstdint>
#include <list>

namespace ductrine {

extern const char* const kSystemMessageTable[];  // 1000-series, "" closes it
extern const char* const kStageMessageTable[];   // 2000-series, "" closes it

}  // namespace ductrine
