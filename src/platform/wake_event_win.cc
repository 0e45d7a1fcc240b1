#include "platform/wake_event.h"

#include "platform/socket_wait_set.h"
#include "platform/win_handle.h"

CWakeEvent::CWakeEvent()
    : descriptor(HandleToDescriptor(CreateEventA(nullptr, FALSE, FALSE, nullptr))) {}

void CWakeEvent::Set() {
  if (descriptor.IsValid()) SetEvent(DescriptorToHandle(descriptor.Get()));
}

bool CWakeEvent::Consume() {
  return descriptor.IsValid() &&
         WaitForSingleObject(DescriptorToHandle(descriptor.Get()), 0) == WAIT_OBJECT_0;
}

bool CWakeEvent::Wait(int milliseconds) { return WaitWith(-1, milliseconds).bSet; }

// `other` is a handle that a wait does not consume (a manual-reset event).
WakeResult CWakeEvent::WaitWith(int other, int milliseconds) {
  HANDLE handles[3];
  DWORD count = 0;
  if (descriptor.IsValid()) handles[count++] = DescriptorToHandle(descriptor.Get());
  if (other >= 0) handles[count++] = DescriptorToHandle(other);
  const int transfers = pTransfers != nullptr ? pTransfers->Waitable() : -1;
  if (transfers >= 0) handles[count++] = DescriptorToHandle(transfers);
  WakeResult result;
  if (count == 0) {
    Sleep(WaitMilliseconds(milliseconds));
    return result;
  }
  // The auto-reset event is consumed by the wait that reports it.
  const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, WaitMilliseconds(milliseconds));
  if (woken >= WAIT_OBJECT_0 + count) return result;
  const bool eventFirst = descriptor.IsValid() && woken == WAIT_OBJECT_0;
  result.bSet = eventFirst || Consume();
  result.bOther = other >= 0 && WaitForSingleObject(DescriptorToHandle(other), 0) == WAIT_OBJECT_0;
  result.bTransfers =
      transfers >= 0 && WaitForSingleObject(DescriptorToHandle(transfers), 0) == WAIT_OBJECT_0;
  return result;
}
