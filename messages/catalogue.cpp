// Loading the message tables into the pipeline set's lists, and lookup by
// number. The lists hold references to the constant texts.

#include "messages/catalogue.h"

#include <cstdio>
#include <cstring>

#include "runtime/pipe_set.h"

namespace ductrine {
namespace {

void AppendTable(std::list<const char*>& list, const char* const* table) {
  for (; **table != '\0'; ++table) list.push_back(*table);
}

}  // namespace

void CPipeSet::LoadSystemMessages() { AppendTable(systemMessages, kSystemMessageTable); }

void CPipeSet::LoadStageMessages() { AppendTable(stageMessages, kStageMessageTable); }

const char* FindMessage(const std::list<const char*>& list, std::uint32_t number) {
  char key[16];
  std::snprintf(key, sizeof key, "%.4d", static_cast<int>(number));
  for (const char* text : list)
    if (std::strncmp(text, key, 4) == 0 && std::strlen(key) == 4) return text;
  return nullptr;
}

}  // namespace ductrine
