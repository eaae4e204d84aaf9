// After fork, the child process has no open interface.
//
// A child created without exec (Python's multiprocessing on Linux, a server
// that forks per client) inherits the parent's port descriptor and the
// current handle with it. Were the child to use it, parent and child would
// send requests on one line and take each other's replies; were it to close
// it, the close would end the parent's exclusive hold on the port. So the
// child forgets the handle: its calls give GPIO_RESULT_BAD_HANDLE and its
// close cannot reach the parent's port. The parent is unaffected.
#include <pthread.h>

#include "interface/current_interface.h"

namespace gpiolink {
namespace {

void ForgetInterfaceInChild() { ForgetCurrentHandle(); }

// Registered when the library is loaded, once per process.
const int g_forkGuard = pthread_atfork(nullptr, nullptr, ForgetInterfaceInChild);

}  // namespace

bool ForkGuardRegistered() { return g_forkGuard == 0; }

}  // namespace gpiolink
