#include "host/main_class.h"

#include "host/main_loop.h"
#include "platform/process.h"

CMainClass::~CMainClass() { thread.Stop(); }

int CMainClass::OnServiceStart() {
  thread.SetName("Quillrade_MainClass_Thread");
  thread.SetHandler(this);
  thread.Start();
  return 0;
}

void CMainClass::OnServiceStop() { thread.Stop(); }

void CMainClass::Run(CSimpleThread* mainThread) {
  CMainLoop loop(strConfigPath, GetProcessCommandLine());
  loop.Run(mainThread);
}
