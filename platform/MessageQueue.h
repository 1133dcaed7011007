#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Event.h"  // kInfinite

namespace platform {

// The process-wide main-thread message queue: hidden windows (receivers with a procedure),
// posted and sent messages and calls handed to the main thread. Handlers run only on the
// main thread; pumping from inside a handler is allowed.

using HWND = uint32_t;  // 0 = no window; never reused while the window exists
using WindowProc = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// The calling thread becomes the main thread (tests' main and programs call it first).
void InitMainThread();
bool IsMainThread();

// Main thread only.
HWND CreateHiddenWindow(const std::string& className, WindowProc proc);
// Later messages for the window are dropped; a waiting sender gets 0 / false.
void DestroyHiddenWindow(HWND window);
bool IsWindow(HWND window);

// Any thread. False: no such window.
bool PostMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// On the main thread the procedure is called directly; elsewhere the message is queued and
// the caller waits for the result (0 when the window is gone).
intptr_t SendMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// True and *result when the handler ran; false when the main thread had not STARTED it
// within ms (then it never runs) or the window is gone. Once started, the sender waits for
// the end, however long it takes.
bool SendMessageTimeout(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam, uint32_t ms,
                        intptr_t* result);

// Direct call on the main thread; elsewhere queued, waited for, and an exception escaping fn
// is rethrown here on the caller's side.
void RunOnMainThread(const std::function<void()>& fn);

enum class TPumpResult { None, Dispatched, Quit };
// Main thread: take and dispatch one item (posted, sent, run-on-main). A quit request is
// re-posted and reported (so outer loops see it too). Other threads: None.
TPumpResult PumpOneMessage();
// Block until an item is queued or WakeMainThread() is called or ms pass; true when woken.
bool WaitForMessage(uint32_t ms);
// Any thread: ends a WaitForMessage (used by workers whose end a pumping main thread waits for).
void WakeMainThread();

// Headless main loop: pump and wait until Quit; returns the quit code (and takes the quit
// request off the queue). Main thread only: elsewhere it returns -1 at once.
int Run();
// Any thread.
void Quit(int code = 0);
// Called from any thread whenever an item is queued (a GUI loop schedules a drain).
void SetWakeHook(std::function<void()> hook);

}  // namespace platform
