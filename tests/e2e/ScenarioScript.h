#pragma once
// End-to-end scenarios kept as transcripts. A scenario file lists what a router
// holds and what is run on it, one directive per line; the lines that start
// with "> " are what the programs printed and what the tree held afterwards.
// The runner replays the directives on a fresh root and writes the transcript
// anew; the test is that it equals the file.
//
// Directives (TEXT is the rest of the line, with C escapes \n \r \t \e \\ \xHH):
//   package ID NAME VERSION [build=N] [arch=A] [flags=N] [unrecorded] [bare]
//           [image=TEXT-WITHOUT-SPACES] [level=N]   a signed package; "bare" has
//           [bigimage=SIZE:SEED] [note=TEXT]    no "opt/NAME/README" file; bigimage
//                                               is an image part of random bytes
//   file PATH MODE TEXT | bigfile PATH SIZE SEED | dir PATH | link PATH TARGET
//   depends NAME MIN MAX | provides NAME MIN MAX PRECEDENCE | conflicts NAME MIN MAX
//                                               add to the last package or bundle
//   bundle ID NAME VERSION [build=N] [image=TEXT]; member ID; off NAME
//   installed NAME VERSION [build=N] [disabled=user|auto] [deps=NAME:MIN:MAX,...]
//   write PATH TEXT | write PATH <ID | mkdir PATH | remove PATH
//                                               "@" before PATH: the work folder
//   mount PATH SIZE                             a tmpfs in a private namespace
//   run [VAR=VALUE...] ARGS... [< ID | < @FILE]  "installer -r ROOT ARGS"
//   inside ARGS...                              the installer after a chroot
//   pkgtool ARGS...                             in the work folder; $KEY is the
//                                               development secret key file
//   tree [PATH...]                              the router's folders, or PATHs
//   flip ID BACK MASK [member=N]                XORs MASK into the byte BACK bytes
//                                               before the end of package ID (or
//                                               @FILE), or of its member N (from 1)
//   chmod PATH MODE | symlink PATH TARGET       for trees that pkgtool packs
//   fill PATH FREE                              PATH, a file, takes all but FREE
//                                               bytes of its file system's room
// An ID "@FILE" (in write, run, flip) stands for a file of the work folder.
//   sorted ARGS...                              as run, its output lines sorted
//                                               (listings in directory order)
//   cat PATH                                    a file's lines behind "| "
//   progress off|on                             hides or shows the status
//                                               line's redraws from here on
// A VERSION, MIN or MAX is text such as 6.2, 3.20rc2, 0 for none, or 0xHEX for
// a number no text names. PATH in write and remove takes C escapes. An
// argument written "" is an empty one; a VAR of run never starts with "-".
// package also takes note=TEXT and unsigned.
#include <string>

namespace e2e {

// The transcript of running script on a fresh root. skipReason receives why
// the scenario cannot run here (mounts refused, no static installer); then the
// transcript is incomplete.
std::string runScenario(const std::string& script, std::string* skipReason);

std::string escapeText(const std::string& raw);
std::string unescapeText(const std::string& text);

}  // namespace e2e
