#pragma once
// The one way this program runs a thread: detached, nobody waits for it or
// keeps its handle. Returns false when the thread could not be started.
#include <functional>

bool StartDetachedThread(std::function<void()> body);
