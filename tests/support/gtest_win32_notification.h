// GoogleTest's Notification needs std::mutex, which the win32 thread model of
// this cross compiler lacks. This one waits on a manual-reset event instead;
// force-included into GoogleTest and the tests.
#pragma once
#ifdef __cplusplus
#include <windows.h>

namespace testing {
namespace internal {
class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};
}  // namespace internal
}  // namespace testing
#define GTEST_HAS_NOTIFICATION_ 1
#endif
