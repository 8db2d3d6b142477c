#pragma once
// The C++ runtime gives every thread some state of its own that it allocates
// only when the thread first needs it: the exception globals that every
// throw and catch use (a thread-local of the runtime library, so a block of
// the loader's thread-local storage), and a larger table of such blocks once
// more libraries are loaded. When that allocation fails, the loader ends the
// process. So the first throw in a thread, typically a std::bad_alloc when
// memory is already short, would kill the process instead of reporting it.
//
// prepare_thread() has the runtime allocate that state now. Calling threads
// run it on every entry, worker threads when they start; a thread that
// passed it may throw and catch as usual, under any memory pressure.
namespace hobrin::ann {

// Returns false when memory is too short to allocate the state safely; the
// thread is then unchanged and must run nothing that can throw.
bool prepare_thread() noexcept;

}  // namespace hobrin::ann
