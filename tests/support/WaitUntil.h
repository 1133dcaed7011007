#pragma once

#include <cstdint>
#include <functional>

namespace testsupport {

// Waits until cond() holds or timeoutMs pass; true when it holds. On the main thread it
// pumps the main-thread queue meanwhile (so code under test that hands work to the main
// thread can finish); elsewhere it waits in short steps.
bool WaitUntil(const std::function<bool()>& cond, uint32_t timeoutMs = 10000);

}  // namespace testsupport

using testsupport::WaitUntil;
