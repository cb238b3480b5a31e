#pragma once
// SIGINT, SIGTERM and SIGHUP ask a run to stop. Before the commit the run
// cancels what it staged; during the commit the signals are held, so that a
// commit is never cut off by one of them.
//
// The handler can only set a flag: the signal number lives in one process-wide
// variable, the one place where a signal handler and the program meet.

// Ignores SIGPIPE, so that a console that went away cannot end the run.
void ignoreBrokenPipe();
// Installs the handlers (without SA_RESTART, so that a blocking read returns
// and the reader can see the request). Only runs that may change flash install
// them; a listing just ends.
void installStopHandlers();
// The signal that asked the run to stop, 0 while none did.
int stopSignal();

// Holds the stop signals for its lifetime; a signal that arrives meanwhile is
// delivered, and seen by stopSignal, when the hold ends.
class StopSignalHold {
public:
    StopSignalHold();
    ~StopSignalHold();
    StopSignalHold(const StopSignalHold&) = delete;
    StopSignalHold& operator=(const StopSignalHold&) = delete;
};

// Each of the standard descriptors 0, 1 and 2 that is closed is opened on
// "/dev/null", so that no file the program opens can take its number.
void openMissingStandardDescriptors();
