// The tailwriter module's application object and its one export.
//
// The application object carries no stage logic: nothing of a stage runs when
// the module is loaded or unloaded. BeginStage is called once per stage, each
// call on that stage's own thread.

#include <cstdint>

#include "stage/begin_stage.h"
#include "stage/process.h"
#include "stage/tailwriter.h"

namespace ductrine {
namespace {

// The application class of the framework the module is built with has no
// counterpart here: the per-call module state is switched by BeginStage, so
// the base initialisation has nothing to do.
class CApplicationBase {
 public:
  virtual ~CApplicationBase() = default;
  virtual bool InitInstance() { return true; }
};

class CTailwriterApp final : public CApplicationBase {
 public:
  bool InitInstance() override { return CApplicationBase::InitInstance(); }
};

// Initialised when the module is loaded, as the framework would.
CTailwriterApp theApp;
[[maybe_unused]] const bool theAppInitialised = theApp.InitInstance();

}  // namespace
}  // namespace ductrine

extern "C" DUCTRINE_STAGE_EXPORT std::int32_t BeginStage(
    ductrine::CStageCall* call) {
  return ductrine::BeginStageBody<ductrine::CTailwriter>(call);
}
