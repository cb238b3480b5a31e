#include "platform/StopSignals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t requestedStop = 0;

void onStopSignal(int signalNumber) {
    if (requestedStop == 0) requestedStop = signalNumber;
}

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kStopSignals) sigaddset(&set, s);
    return set;
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int s : kStopSignals) sigaction(s, &action, nullptr);
}

void ignoreBrokenPipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

int stopSignal() { return requestedStop; }

StopSignalHold::StopSignalHold() {
    sigset_t set = stopSignalSet();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

StopSignalHold::~StopSignalHold() {
    sigset_t set = stopSignalSet();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void openMissingStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open returns the lowest free number, which is this one.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
