// Linked into the sanitized installer only. After its change of root the
// installer cannot read /proc, which the leak checker needs at exit; a finding
// gets an exit status of its own so that tests can tell it from a refusal.
extern "C" const char* __asan_default_options() { return "detect_leaks=0:exitcode=86"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:exitcode=86"; }
