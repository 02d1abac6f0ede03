// Input record selection on the reading stage's thread: the stage sees the
// selected part, while lastRecord keeps the whole record that flows on.

#include "runtime/pipe_set.h"
#include "runtime/selection.h"

namespace ductrine {

const std::string& CStage::ApplySelection(const std::string& offered) {
  lastRecord = offered;
  selectedRecord.clear();
  if (selectWords)
    selectedRecord = SelectWords(lastRecord, wordSeparators, selectFrom, selectTo);
  else if (selectFields)
    selectedRecord = SelectFields(lastRecord, fieldSeparators, selectFrom, selectTo);
  else
    selectedRecord = SelectColumns(lastRecord, selectFrom, selectTo);
  if (selectUpper) UpperCaseAscii(selectedRecord);
  if (selectReverse) ReverseText(selectedRecord);
  return selectedRecord;
}

}  // namespace ductrine
