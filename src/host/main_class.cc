#include "host/main_class.h"

namespace {

// How long one wait for the stop request lasts.
constexpr int kMainThreadWaitMs = 100;

}  // namespace

CMainClass::~CMainClass() { thread.Stop(); }

int CMainClass::OnServiceStart() {
  thread.SetName("Quillrade_MainClass_Thread");
  thread.SetHandler(this);
  thread.Start();
  return 0;
}

void CMainClass::OnServiceStop() { thread.Stop(); }

void CMainClass::Run(CSimpleThread* mainThread) {
  while (mainThread->Wait(kMainThreadWaitMs)) {
  }
}
