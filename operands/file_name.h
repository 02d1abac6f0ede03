// Names that records give: the Tailwriter stage takes a file name off the
// front of each record (mode 2) or takes a whole record as one (mode 3).
// Such a name is the record's bytes: a tab or any other byte belongs to it,
// except a NUL, which would cut the name short where the system uses it and
// send the data to another file. Messages show control bytes as '?', so
// that a name never acts on the terminal.
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
// rather than its end; a name that holds one is refused. On success `name`
// holds the name as scanned and `rest` the offset of the data after it;
// false after message 2005 or 2015.
bool ParseRecordFileName(CPipeSet& set, CProcess& stage, const std::string& record,
                         std::string* name, std::size_t* rest);

// A whole record taken as a name, unparsed: refused (message 2005) only when
// it holds a NUL byte.
bool CheckStreamFileName(CPipeSet& set, CProcess& stage, std::string_view name);

// `name` as a message shows it: each control byte as '?'.
std::string ShownName(std::string_view name);

}  // namespace ductrine
