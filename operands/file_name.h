// Names that records give: the Tailwriter stage takes a file name off the
// front of each record (mode 2) or takes a whole record as one (mode 3).
// Such names come from data, not from the user who wrote the pipeline, so
// they get every check of ParseFileName and more: no NUL byte and no control
// character (bytes below 0x20, and 0x7F) anywhere in them.
//
// Both only read the pipeline set; any stage thread may call them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ductrine {

class CPipeSet;
class CProcess;

// ParseFileName on the whole record, where a NUL byte is part of the text
// rather than its end, then CheckRecordFileName on the name. On success
// `name` holds the name as scanned and `rest` the offset of the data after
// it; false after message 2005 or 2015.
bool ParseRecordFileName(CPipeSet& set, CProcess& stage, const std::string& record,
                         std::string* name, std::size_t* rest);

// The checks of ParseFileName for `name` taken whole (empty, refused first or
// last character, refused characters), plus the NUL and control characters.
// False after message 2005, which shows each such byte as '?'.
bool CheckRecordFileName(CPipeSet& set, CProcess& stage, std::string_view name);

}  // namespace ductrine
