#include "service/wirevane.h"

#include "watch/ethread.h"

namespace service {

TWirevane* Wirevane = nullptr;

TWirevane::TWirevane(rtl::TComponent* Owner) : TService(Owner) {
  SetName("Wirevane");
  SetDisplayName("Wirevane");
  OnExecute = [this](TService* Sender) { ServiceExecute(Sender); };
  StartWatch = [] { watch::StartWatch(); };
}

TWirevane::~TWirevane() {
  if (Wirevane == this) Wirevane = nullptr;
}

void TWirevane::ServiceExecute(TService* Sender) {
  if (StartWatch) StartWatch();
  while (!StopRequested()) ControlThread()->ProcessControlRequests(true);
}

platform::ServiceControlHandler TWirevane::ControlCallback() { return &ServiceControlEntry; }

void ServiceControlEntry(uint32_t Code) {
  if (TWirevane* module = Wirevane) module->PostControl(Code);
}

int RunProgram(THostFacilities Facilities) {
  TServiceApplication app(std::move(Facilities));
  try {
    app.PrepareApplication();
    app.CreateServiceModule(Wirevane);
    app.RunApplication();
  } catch (...) {
    app.ShowException(std::current_exception());
    return 1;
  }
  return app.ExitCode;
}

}  // namespace service
