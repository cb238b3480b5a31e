#pragma once
// End-to-end scenarios kept as transcripts. A scenario file lists what a router
// holds and what is run on it, one directive per line; the lines that start
// with "> " are what the programs printed and what the tree held afterwards.
// The runner replays the directives on a fresh root and writes the transcript
// anew; the test is that it equals the file.
//
// Directives (TEXT: the rest of the line, C escapes \n \r \t \e \\ \xHH):
//   package ID NAME VERSION [build=N arch=A flags=N level=N unrecorded unsigned
//       bare image=TEXT bigimage=SIZE:SEED note=TEXT]   signed unless "unsigned";
//       "bare": without the file "opt/NAME/README"
//   file PATH MODE TEXT | bigfile PATH SIZE SEED | dir PATH | link PATH TARGET
//   depends NAME MIN MAX | provides NAME MIN MAX PRECEDENCE | conflicts NAME MIN MAX
//       to the last package or bundle
//   bundle ID NAME VERSION [build=N image=TEXT]; member ID; off NAME
//   installed NAME VERSION [build=N disabled=user|auto deps=NAME:MIN:MAX,...]
//   write PATH TEXT | write PATH <ID | mkdir PATH | remove PATH | chmod PATH MODE
//   symlink PATH TARGET | fill PATH FREE (a file taking all but FREE bytes)
//   flip ID BACK MASK [member=N]   XORs MASK into the byte BACK bytes before the
//       end of package ID, or of its member N (from 1)
//   mount PATH SIZE                a tmpfs in a private mount namespace
//   run [VAR=VALUE...] ARGS... [< ID]   "installer -r ROOT ARGS"; sorted: the
//       same with its output lines sorted; inside: the installer after a chroot
//   pkgtool ARGS...                in the work folder; $KEY: the development key
//   tree [PATH...] | cat PATH      the router's folders or PATHs; a file's lines
//   progress off|on                hides or shows the status line's redraws
// "@" before a PATH or ID: a file of the work folder. VERSION, MIN, MAX: text
// such as 6.2 or 3.20rc2, 0 for none, or 0xHEX. An argument "" is an empty one.
#include <string>

namespace e2e {

// The transcript of running script on a fresh root. skipReason receives why
// the scenario cannot run here (mounts refused, no static installer); then the
// transcript is incomplete.
std::string runScenario(const std::string& script, std::string* skipReason);

std::string escapeText(const std::string& raw);
std::string unescapeText(const std::string& text);

}  // namespace e2e
