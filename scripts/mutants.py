#!/usr/bin/env python3
"""Mutation score of the installer's test suite.

Takes a seeded sample of single-point mutations of the installer's library
sources, rebuilds and runs the tests for each one, and reports how many of them
the tests notice. Standard library only.

Usage: scripts/mutants.py [--seed N] [--count N] [--list] [--tests REGEX] ...
"""

import argparse
import bisect
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Folders that hold code of their own kind, never the installer's library.
NOT_LIBRARY = {"tests", "tools", "bench", "fuzz", "scripts", "docs", "cmake"}

# ----------------------------------------------------------------------------
# Lexing: only what is needed to tell code from comments, literals and
# preprocessor lines, and to see operators as whole tokens.

OPERATORS = sorted(
    """>>= <<= ->* ... -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= :: .*
    { } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #""".split(),
    key=len, reverse=True)
RAW_PREFIXES = {"R", "u8R", "uR", "UR", "LR"}
LITERAL_PREFIXES = {"u8", "u", "U", "L"}
IDENT_START = re.compile(r"[A-Za-z_]")
IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
PP_NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
INTEGER = re.compile(r"^(0[xX][0-9a-fA-F]+|0[bB][01]+|0[0-7]*|[1-9][0-9]*)([uU]?[lL]{0,2}|[lL]{1,2}[uU])$")


class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end):
        self.kind, self.text, self.start, self.end = kind, text, start, end
        self.line = 0

    def __repr__(self):
        return f"{self.kind}:{self.text}@{self.line}"


def skip_quoted(text, i):
    """Index just past the string or char literal whose quote is at i."""
    quote, n = text[i], len(text)
    i += 1
    while i < n and text[i] != quote and text[i] != "\n":
        i += 2 if text[i] == "\\" else 1
    return min(i + 1, n)


def skip_preprocessor(text, i):
    """Index of the newline ending the directive at i (continuations followed)."""
    n = len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            if text[i - 1] == "\\" or text[i - 2:i] == "\\\r":
                i += 1
                continue
            return i
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            i = n if j < 0 else j + 2
            continue
        if text.startswith("//", i):
            j = text.find("\n", i)
            return n if j < 0 else j
        if c in "\"'":
            i = skip_quoted(text, i)
            continue
        i += 1
    return n


def lex(text):
    tokens = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v" or (c == "\\" and text.startswith("\n", i + 1)):
            i += 1
            continue
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            i = n if j < 0 else j + 2
            continue
        if c == "#" and line_start:
            i = skip_preprocessor(text, i)
            continue
        line_start = False
        if IDENT_START.match(c):
            m = IDENT.match(text, i)
            word, j = m.group(), m.end()
            if j < n and text[j] == '"' and word in RAW_PREFIXES:
                close = text.find("(", j)
                delim = text[j + 1:close]
                end = text.find(")" + delim + '"', close)
                end = n if end < 0 else end + len(delim) + 2
                tokens.append(Token("str", text[i:end], i, end))
                i = end
            elif j < n and text[j] in "\"'" and word in LITERAL_PREFIXES:
                end = skip_quoted(text, j)
                tokens.append(Token("str", text[i:end], i, end))
                i = end
            else:
                tokens.append(Token("id", word, i, j))
                i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
            m = PP_NUMBER.match(text, i)
            tokens.append(Token("num", m.group(), i, m.end()))
            i = m.end()
            continue
        if c in "\"'":
            end = skip_quoted(text, i)
            tokens.append(Token("str", text[i:end], i, end))
            i = end
            continue
        for op in OPERATORS:
            if text.startswith(op, i):
                tokens.append(Token("op", op, i, i + len(op)))
                i += len(op)
                break
        else:
            i += 1  # a stray character (e.g. '@' or '$'); nothing to mutate there
    return tokens


# ----------------------------------------------------------------------------
# Context: which angle brackets are template brackets, and which braces open
# function bodies (where statements and returns live).

KEYWORDS = set("""alignas alignof asm auto bool break case catch char char16_t char32_t class
const constexpr const_cast continue decltype default delete do double dynamic_cast else enum
explicit export extern false float for friend goto if inline int long mutable namespace new
noexcept nullptr operator private protected public register reinterpret_cast return short signed
sizeof static static_assert static_cast struct switch template this thread_local throw true try
typedef typeid typename union unsigned using virtual void volatile wchar_t while""".split())
CONTROL = {"if", "for", "while", "switch", "catch"}
TYPE_WORDS = {"class", "struct", "union", "enum"}
FUNC_QUALIFIERS = {"const", "noexcept", "override", "final", "mutable", "volatile", "&", "&&"}
# Inside template brackets only these may appear; anything else means '<' compares.
TEMPLATE_STOP = {";", "{", "}", "||", "&&", "?", "=", "==", "!=", "<=", ">=", "+", "-", "!", ".",
                 "->", "/", "%", "|", "^", "+=", "-=", "<<"}
ASSIGN_OPS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
COMPARISON_SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


def match_forward(tokens, i):
    """Index of the bracket closing the one at i ((, [ or {)."""
    pair = {"(": ")", "[": "]", "{": "}"}
    depth = 0
    for k in range(i, len(tokens)):
        t = tokens[k].text
        if t in pair:
            depth += 1
        elif t in (")", "]", "}"):
            depth -= 1
            if depth == 0:
                return k
    return len(tokens) - 1


def match_backward(tokens, i):
    """Index of the bracket opening the one at i (), ] or })."""
    pair = {")": "(", "]": "[", "}": "{"}
    depth = 0
    for k in range(i, -1, -1):
        t = tokens[k].text
        if t in pair:
            depth += 1
        elif t in ("(", "[", "{"):
            depth -= 1
            if depth == 0:
                return k
    return 0


def find_templates(tokens):
    """Map each template-opening '<' to its closing token; also the set of all bracket tokens."""
    closes, brackets = {}, set()
    for i, tok in enumerate(tokens):
        if tok.text != "<" or i in brackets:
            continue
        prev = tokens[i - 1] if i else None
        if prev is None or prev.text == "operator":
            continue
        if prev.kind != "id" and prev.text != "template":
            continue
        if prev.kind == "id" and prev.text in KEYWORDS and prev.text not in ("template", "static_cast",
                                                                               "const_cast", "dynamic_cast",
                                                                               "reinterpret_cast"):
            continue
        depth, parens, k = 1, 0, i + 1
        opened = [i]
        while k < len(tokens):
            t = tokens[k]
            if t.kind == "str" or t.text in TEMPLATE_STOP:
                break
            if t.text in ("(", "["):
                parens += 1
            elif t.text in (")", "]"):
                parens -= 1
                if parens < 0:
                    break
            elif t.text == "<" and parens == 0:
                depth += 1
                opened.append(k)
            elif t.text in (">", ">>") and parens == 0:
                depth -= len(t.text)
                if depth <= 0:
                    break
            k += 1
        if k < len(tokens) and tokens[k].text in (">", ">>") and depth == 0:
            closes[i] = k
            brackets.update(opened)
            brackets.add(k)
            for j in range(i + 1, k):
                if tokens[j].text in (">", ">>"):
                    brackets.add(j)
    return closes, brackets


class Frame:
    """A brace-delimited region: 'func' (a body, lambda's too), 'block' (a
    compound statement in a body), 'type', 'ns' or 'init' (braced values)."""
    __slots__ = ("kind", "returns_bool", "lambda_", "parent", "parens")

    def __init__(self, kind, parent, returns_bool=None, lambda_=False):
        self.kind, self.parent, self.returns_bool, self.lambda_ = kind, parent, returns_bool, lambda_
        self.parens = 0

    @property
    def executable(self):
        return self.kind in ("func", "block")

    def function_returns_bool(self):
        f = self
        while f is not None and f.kind == "block":
            f = f.parent
        return f.returns_bool if f is not None and f.kind == "func" else None


def classify_brace(tokens, i, current):
    """Frame for the '{' at tokens[i], given the frame it opens in."""
    j = i - 1
    if j < 0:
        return Frame("block", current)
    while j > 0 and tokens[j].text in FUNC_QUALIFIERS:
        j -= 1
    trailing_bool = None
    # A trailing return type: ") -> type {".
    k = j
    while k > 0 and (tokens[k].kind == "id" or tokens[k].text in ("::", "<", ">", "*", "&")) and k > j - 8:
        k -= 1
    if tokens[k].text == "->" and k < j:
        trailing_bool = [t.text for t in tokens[k + 1:j + 1]] == ["bool"]
        j = k - 1
        while j > 0 and tokens[j].text in FUNC_QUALIFIERS:
            j -= 1
    t = tokens[j].text
    if t == "]":
        return Frame("func", current, trailing_bool, lambda_=True)
    if t == ")":
        p = match_backward(tokens, j)
        name = tokens[p - 1] if p > 0 else None
        if name is None:
            return Frame("block", current)
        if name.text in CONTROL:
            return Frame("block", current)
        if name.text == "]":
            return Frame("func", current, trailing_bool, lambda_=True)
        q = p - 1
        if name.kind == "op" and q > 0 and tokens[q - 1].text == "operator":
            q -= 1
        while q >= 2 and tokens[q - 1].text == "::":
            q -= 2
        if q > 0 and tokens[q - 1].text == "~":
            q -= 1
        returns_bool = trailing_bool if trailing_bool is not None else (q > 0 and tokens[q - 1].text == "bool")
        return Frame("func", current, returns_bool)
    if current.kind == "init" and t in ("{", ",", "=", "("):
        return Frame("init", current)
    # Look back over the declaration this brace belongs to.
    k = j
    while k >= 0 and tokens[k].text not in (";", "{", "}"):
        if tokens[k].text in TYPE_WORDS:
            return Frame("type", current)
        if tokens[k].text in ("namespace", "extern"):
            return Frame("ns", current)
        k -= 1
    if t in (";", "{", "}", ":", "else", "do", "try"):
        return Frame("block", current)
    return Frame("init", current)


def analyse(tokens):
    """Frame of every token, the template bracket map, and ends of statements."""
    closes, brackets = find_templates(tokens)
    top = Frame("ns", None)
    frames = []
    current = top
    closed_by = {}  # index of '}' -> frame it closed
    depths = []  # paren depth of each token inside its frame
    for i, tok in enumerate(tokens):
        if tok.text == "{":
            current = classify_brace(tokens, i, current)
        elif tok.text == "}":
            closed_by[i] = current
            frames.append(current)
            depths.append(current.parens)
            current = current.parent or top
            continue
        elif tok.text in ("(", "["):
            current.parens += 1
        elif tok.text in (")", "]"):
            current.parens -= 1
        frames.append(current)
        depths.append(current.parens)
    return frames, depths, closes, brackets, closed_by


# ----------------------------------------------------------------------------
# Mutation points.

class Mutant:
    __slots__ = ("path", "start", "end", "replacement", "op", "line")

    def __init__(self, path, start, end, replacement, op, line):
        self.path, self.start, self.end = path, start, end
        self.replacement, self.op, self.line = replacement, op, line


def statement_end(tokens, i):
    """Index of the ';' ending the statement starting at i, or None."""
    depth = 0
    for k in range(i, len(tokens)):
        t = tokens[k].text
        if t in ("(", "[", "{"):
            depth += 1
        elif t in (")", "]", "}"):
            depth -= 1
            if depth < 0:
                return None
        elif t == ";" and depth == 0:
            return k
    return None


def is_expression_statement(tokens, i, e, closes):
    """Whether tokens[i..e] (e is ';') is a call, assignment, increment or
    stream output, rather than a declaration or a control statement."""
    k = i
    effect = False
    while tokens[k].text in ("*", "++", "--", "::"):
        effect = effect or tokens[k].text in ("++", "--")
        k += 1
    t = tokens[k]
    if (t.kind == "id" and t.text not in KEYWORDS) or t.text == "this":
        k += 1
    elif t.text == "(":
        k = match_forward(tokens, k) + 1
    else:
        return False
    while k < e:
        t = tokens[k].text
        if t in (".", "->", "::"):
            if tokens[k + 1].kind != "id":
                return False
            k += 2
        elif t in ("(", "["):
            effect = effect or t == "("
            k = match_forward(tokens, k) + 1
        elif t == "<" and k in closes:
            k = closes[k] + 1
        elif t in ("++", "--"):
            effect = True
            k += 1
        else:
            break
    after = tokens[k].text
    if k == e:
        return effect
    return after in ASSIGN_OPS or after == "<<"


def statement_start_ok(tokens, frames, depths, closed_by, i):
    """Whether a statement begins at token i (not the unbraced body of an if/else)."""
    if i == 0 or not frames[i].executable or depths[i] != 0:
        return False
    prev = tokens[i - 1].text
    if prev == "{":
        return frames[i - 1] is frames[i]
    if prev == "}":
        closed = closed_by.get(i - 1)
        return closed is not None and closed.kind in ("func", "block", "type") and not closed.lambda_
    return prev == ";" and frames[i - 1] is frames[i]


def is_boolean_looking(expr, brackets):
    if expr[0].text == "!":
        return True
    depth = 0
    for k, t in enumerate(expr):
        if t.text in ("(", "[", "{"):
            depth += 1
        elif t.text in (")", "]", "}"):
            depth -= 1
        elif depth == 0 and t.text in ("&&", "||", "==", "!=", "<=", ">="):
            return True
        elif depth == 0 and t.text in ("<", ">") and id(t) not in brackets:
            return True
    # A call of a predicate by its name, e.g. "isHidden(name)" or "list.empty()".
    names = [t.text for t in expr if t.kind == "id"]
    return is_postfix_chain(expr) and any(
        re.match(r"(is|has|can|should|contains|exists|valid)[A-Z_]|(empty|good|fail|eof)$", n) for n in names)


def is_postfix_chain(expr):
    """Whether expr is one operand: a name, member accesses, calls and subscripts."""
    depth = 0
    for t in expr:
        if t.text in ("(", "[", "{"):
            depth += 1
        elif t.text in (")", "]", "}"):
            depth -= 1
        elif depth == 0 and t.kind == "op" and t.text not in (".", "->", "::"):
            return False
    return True


def integer_neighbours(text):
    m = INTEGER.match(text)
    if not m:
        return []
    digits, suffix = m.groups()
    if digits[:2] in ("0x", "0X"):
        value, fmt = int(digits, 16), lambda v: digits[:2] + format(v, "x" if digits[2:].islower() or
                                                                     digits[2:].isdigit() else "X")
    elif digits[:2] in ("0b", "0B"):
        value, fmt = int(digits[2:], 2), lambda v: digits[:2] + format(v, "b")
    elif len(digits) > 1 and digits[0] == "0":
        value, fmt = int(digits, 8), lambda v: "0" + format(v, "o")
    else:
        value, fmt = int(digits), str
    out = [fmt(value + 1) + suffix]
    if value > 0:
        out.append(fmt(value - 1) + suffix)
    return out


def find_mutants(path, text):
    """All mutation points of one source file, in source order."""
    tokens = lex(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    for t in tokens:
        t.line = bisect.bisect_right(line_starts, t.start)
    frames, depths, closes, brackets_idx, closed_by = analyse(tokens)
    bracket_ids = {id(tokens[k]) for k in brackets_idx}
    table_sizes, first_in_table = {}, {}
    for i, tok in enumerate(tokens):
        if tok.kind == "num" and frames[i].kind == "init":
            key = id(frames[i])
            table_sizes[key] = table_sizes.get(key, 0) + 1
            first_in_table.setdefault(key, i)
    out = []

    def add(start, end, repl, op, line):
        out.append(Mutant(path, start, end, repl, op, line))

    # Compiler hints and compile-time checks: a change there tests the compiler, not the tests.
    hints = set()
    for i, tok in enumerate(tokens):
        if tok.text in ("__attribute__", "alignas", "static_assert") and i + 1 < len(tokens) \
                and tokens[i + 1].text == "(":
            hints.update(range(i, match_forward(tokens, i + 1) + 1))

    for i, tok in enumerate(tokens):
        if i in hints:
            continue
        text_ = tok.text
        prev = tokens[i - 1].text if i else ""
        nxt = tokens[i + 1].text if i + 1 < len(tokens) else ""
        if tok.kind == "op":
            if prev == "operator":
                continue
            if text_ in COMPARISON_SWAP and i not in brackets_idx:
                add(tok.start, tok.end, COMPARISON_SWAP[text_], "comparison", tok.line)
            elif text_ in ("&&", "||"):
                rvalue_ref = text_ == "&&" and (nxt in (")", ",", "...", ">") or prev == "auto"
                                                or (i - 1) in brackets_idx)
                if not rvalue_ref and frames[i].kind in ("func", "block", "init"):
                    add(tok.start, tok.end, "||" if text_ == "&&" else "&&", "logical", tok.line)
            elif text_ == "!":
                add(tok.start, tok.end, "", "not-dropped", tok.line)
        elif tok.kind == "num":
            if prev == "=" and nxt == ";" and frames[i].kind == "type" and text_ == "0":
                continue  # a pure virtual function
            frame = frames[i]
            if frame.kind == "init" and table_sizes.get(id(frame), 0) > 8 and first_in_table[id(frame)] != i:
                continue  # a table of data counts as one point, lest it crowd out the code in a sample
            for value in integer_neighbours(text_):
                add(tok.start, tok.end, value, "constant", tok.line)
        elif tok.kind == "id":
            if text_ in ("break", "continue") and frames[i].executable:
                add(tok.start, tok.end, "continue" if text_ == "break" else "break", "break-continue", tok.line)
            elif text_ == "return" and frames[i].executable:
                e = statement_end(tokens, i)
                if e is None or e == i + 1:
                    continue
                expr = tokens[i + 1:e]
                if len(expr) == 1 and expr[0].text in ("true", "false"):
                    t = expr[0]
                    add(t.start, t.end, "false" if t.text == "true" else "true", "return", t.line)
                    continue
                returns_bool = frames[i].function_returns_bool()
                if returns_bool is False:
                    continue
                if returns_bool is None and not is_boolean_looking(expr, bracket_ids):
                    continue
                if expr[0].text == "!" and is_postfix_chain(expr[1:]):
                    continue  # the same mutant as dropping that '!'
                start, end = expr[0].start, expr[-1].end
                body = text[start:end]
                repl = "!" + body if len(expr) == 1 else "!(" + body + ")"
                add(start, end, repl, "return", expr[0].line)
        # Dropped statements.
        if statement_start_ok(tokens, frames, depths, closed_by, i) and tok.kind != "str":
            e = statement_end(tokens, i)
            if e is None or not is_expression_statement(tokens, i, e, closes):
                continue
            first_on_line = i == 0 or tokens[i - 1].line < tok.line
            last_on_line = e + 1 >= len(tokens) or tokens[e + 1].line > tokens[e].line
            if not (first_on_line and last_on_line):
                continue
            start = line_starts[tok.line - 1]
            end_line = tokens[e].line
            end = line_starts[end_line] if end_line < len(line_starts) else len(text)
            add(start, end, "", "statement-dropped", tok.line)
    return out


# ----------------------------------------------------------------------------
# Sources and sample.

def library_folders(root):
    """The installer's library folders, as the build names them."""
    cmake = root / "CMakeLists.txt"
    if cmake.exists():
        m = re.search(r"set\s*\(\s*INSTALLER_SUBSYSTEMS\s+([^)]*)\)", cmake.read_text())
        if m:
            names = [n for n in m.group(1).split() if (root / n).is_dir()]
            if names:
                return names
    return sorted(p.name for p in root.iterdir()
                  if p.is_dir() and p.name not in NOT_LIBRARY and not p.name.startswith((".", "build"))
                  and any(p.glob("*.cpp")))


def source_files(root, folders):
    files = []
    for folder in folders:
        for p in sorted((root / folder).iterdir()):
            if p.suffix in (".cpp", ".h") and p.is_file():
                files.append(p.relative_to(root).as_posix())
    return sorted(files)


def read_source(root, rel):
    return (root / rel).read_bytes().decode("utf-8", "surrogateescape")


def all_mutants(root, files):
    out = []
    for rel in files:
        out.extend(find_mutants(rel, read_source(root, rel)))
    return out


def pick_sample(mutants, seed, count):
    if count <= 0 or count >= len(mutants):
        chosen = list(range(len(mutants)))
    else:
        chosen = sorted(random.Random(seed).sample(range(len(mutants)), count))
    return [mutants[k] for k in chosen]


def shorten(line, col, width=100):
    line = line.rstrip("\n")
    lead = len(line) - len(line.lstrip())
    line, col = line.strip(), max(0, col - lead)
    if len(line) <= width:
        return line
    lo = max(0, min(col - width // 2, len(line) - width))
    return ("…" if lo else "") + line[lo:lo + width] + ("…" if lo + width < len(line) else "")


def describe(m, text):
    """The changed line before and after the mutation."""
    line_start = text.rfind("\n", 0, m.start) + 1
    line_end = text.find("\n", m.start)
    line_end = len(text) if line_end < 0 else line_end
    before = text[line_start:line_end]
    col = m.start - line_start
    if m.op == "statement-dropped":
        last = text[m.start:m.end].rstrip("\n")
        extra = " …" if "\n" in last else ""
        return shorten(before, 0) + extra, "(removed)"
    if m.end <= line_end:
        after = before[:col] + m.replacement + before[m.end - line_start:]
    else:
        after = before[:col] + m.replacement.split("\n")[0] + " …"
        before += " …"
    return shorten(before, col), shorten(after, col)


# ----------------------------------------------------------------------------
# Building and testing.

def run_limited(cmd, limit, log_path):
    """Run cmd in its own process group; (returncode or None on timeout, output)."""
    with open(log_path, "w+b") as log:
        proc = subprocess.Popen(cmd, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            rc = proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            rc = None
        except BaseException:
            kill_group(proc)
            raise
        if rc is None:
            kill_group(proc)
        log.seek(0)
        return rc, log.read().decode("utf-8", "replace")


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def configure(build_dir):
    if (build_dir / "build.ninja").exists():
        return
    cmd = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
           "-DINSTALLER_BUILD_BENCH=OFF"]
    subprocess.run(cmd, check=True, cwd=ROOT, stdout=subprocess.DEVNULL)


def build(build_dir, jobs, limit):
    log = build_dir / "mutant-build.log"
    rc, out = run_limited(["cmake", "--build", str(build_dir), "-j", str(jobs)], limit, log)
    return rc == 0, out


def test_list(build_dir, regex):
    """(number, name) of every selected test; numbers are ctest's own."""
    def names(extra):
        out = subprocess.run(["ctest", "--test-dir", str(build_dir), "--show-only=json-v1"] + extra,
                             check=True, cwd=ROOT, capture_output=True, text=True).stdout
        return [t["name"] for t in json.loads(out)["tests"]]
    everything = names([])
    chosen = set(names(["-R", regex])) if regex else set(everything)
    return [(k + 1, name) for k, name in enumerate(everything) if name in chosen]


RESULT_LINE = re.compile(r"Test\s+#(\d+): (\S+) \.*\s*(\*{0,3}\S.*?)\s+([0-9.]+) sec")


def run_ctest(build_dir, numbers, jobs, limit, stop_on_failure=True):
    """(fate, results {name: (status, seconds)}) for one ctest run over the given tests."""
    cmd = ["ctest", "--test-dir", str(build_dir), "-j", str(jobs), "-I",
           "0,0,0," + ",".join(str(n) for n in numbers)]
    if stop_on_failure:
        cmd.append("--stop-on-failure")
    rc, out = run_limited(cmd, limit, build_dir / "mutant-ctest.log")
    results = {}
    for m in RESULT_LINE.finditer(out):
        results[m.group(2)] = (m.group(3), float(m.group(4)))
    if rc is None or any("Timeout" in s for s, _ in results.values()):
        return "timeout", results
    if rc != 0:
        return "killed", results
    return "passed", results


def plan_phases(tests, times, jobs, fixed_limit):
    """Fast tests first, slow end-to-end ones last, each group with its time limit."""
    bounds = [0.5, 5.0, float("inf")]
    phases = [[] for _ in bounds]
    for number, name in tests:
        t = times.get(name, 0.0)
        phases[next(k for k, b in enumerate(bounds) if t < b)].append((number, name))
    planned = []
    for group in phases:
        if not group:
            continue
        durations = [times.get(name, 0.0) for _, name in group]
        expected = sum(durations) / jobs + max(durations) + 0.02 * len(group)
        limit = fixed_limit if fixed_limit else 30 + 3 * expected
        planned.append(([n for n, _ in group], limit, expected))
    return planned


# A copy of the file being mutated, so that a run killed outright (which no
# finally can survive) leaves a way back to the real source.
def journal_dir(build_dir):
    return build_dir / "mutant-originals"


def recover(build_dir):
    jdir = journal_dir(build_dir)
    if not jdir.is_dir():
        return
    for saved in sorted(p for p in jdir.rglob("*") if p.is_file()):
        rel = saved.relative_to(jdir)
        target = ROOT / rel
        data = saved.read_bytes()
        if target.read_bytes() != data:
            target.write_bytes(data)
            print(f"restored {rel} left mutated by an earlier run", flush=True)
        saved.unlink()
    shutil.rmtree(jdir, ignore_errors=True)


class Applied:
    """The mutant written into its file for the duration of a with-block."""

    def __init__(self, mutant, build_dir):
        self.m, self.build_dir = mutant, build_dir
        self.path = ROOT / mutant.path
        self.saved = journal_dir(build_dir) / mutant.path

    def __enter__(self):
        self.original = self.path.read_bytes()
        self.saved.parent.mkdir(parents=True, exist_ok=True)
        self.saved.write_bytes(self.original)
        text = self.original.decode("utf-8", "surrogateescape")
        mutated = text[:self.m.start] + self.m.replacement + text[self.m.end:]
        self.path.write_bytes(mutated.encode("utf-8", "surrogateescape"))
        return self

    def __exit__(self, *exc):
        self.path.write_bytes(self.original)
        if self.path.read_bytes() != self.original:
            raise RuntimeError(f"could not restore {self.m.path}")
        self.saved.unlink()
        return False


def raise_interrupt(signum, frame):
    raise KeyboardInterrupt


# ----------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[1],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1, help="sample seed (default 1)")
    ap.add_argument("--count", type=int, default=150, help="mutants in the sample; 0 for all (default 150)")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--only", help="run only these sample indices, e.g. 3,7,12")
    ap.add_argument("--dirs", help="comma-separated source folders (default: INSTALLER_SUBSYSTEMS)")
    ap.add_argument("--build-dir", default="build-mutants", help="build directory (default build-mutants)")
    ap.add_argument("--jobs", type=int, default=2, help="build and test parallelism (default 2)")
    ap.add_argument("--tests", help="only the tests matching this regex (ctest -R)")
    ap.add_argument("--timeout", type=float,
                    help="seconds allowed for each test run (default: 3 x the unmutated time + 30)")
    args = ap.parse_args()

    folders = args.dirs.split(",") if args.dirs else library_folders(ROOT)
    files = source_files(ROOT, folders)
    build_dir = (ROOT / args.build_dir).resolve()
    if not args.list:
        recover(build_dir)
    mutants = all_mutants(ROOT, files)
    sample = pick_sample(mutants, args.seed, args.count)
    points = len({(m.path, m.start) for m in mutants})
    kinds = {}
    for m in mutants:
        kinds[m.op] = kinds.get(m.op, 0) + 1
    print(f"{len(mutants)} mutants at {points} points in {len(files)} files of {', '.join(folders)}")
    print("  " + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
    print(f"sample of {len(sample)}, seed {args.seed}", flush=True)

    texts = {}

    def line_for(index, m, fate=None):
        text = texts.setdefault(m.path, read_source(ROOT, m.path))
        before, after = describe(m, text)
        head = f"{index:4d}  " + (f"{fate:<11} " if fate else "")
        return f"{head}{m.path}:{m.line}  {m.op}  {before}  =>  {after}"

    if args.list:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quietly, when piped into head
        if journal_dir(build_dir).is_dir():
            print(f"warning: {journal_dir(build_dir)} holds originals of files an interrupted run "
                  "left mutated; a run restores them first", file=sys.stderr)
        for index, m in enumerate(sample, 1):
            print(line_for(index, m))
        return 0

    wanted = None
    if args.only:
        wanted = {int(x) for x in args.only.split(",") if x.strip()}

    # Started in the background, a shell makes us ignore SIGINT; a Ctrl-C or a
    # kill must still end the run with the source restored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, raise_interrupt)

    configure(build_dir)
    started = time.time()
    ok, out = build(build_dir, args.jobs, 3600)
    if not ok:
        print(out[-3000:])
        print("the unmutated sources do not build", file=sys.stderr)
        return 2
    tests = test_list(build_dir, args.tests)
    if not tests:
        print("no tests selected", file=sys.stderr)
        return 2
    fate, results = run_ctest(build_dir, [n for n, _ in tests], args.jobs, 3600, stop_on_failure=False)
    if fate != "passed":
        failed = [n for n, (s, _) in results.items() if "Passed" not in s]
        print(f"the unmutated tests do not pass ({', '.join(failed[:5])}); see {build_dir}/mutant-ctest.log",
              file=sys.stderr)
        return 2
    times = {name: secs for name, (_, secs) in results.items()}
    phases = plan_phases(tests, times, args.jobs, args.timeout)
    print(f"baseline: {len(tests)} tests pass in {time.time() - started:.0f} s (build included); phases: "
          + ", ".join(f"{len(p[0])} tests ~{p[2]:.0f} s (limit {p[1]:.0f} s)" for p in phases), flush=True)

    fates, seconds = {}, {}
    survivors = []
    run_started = time.time()
    ran = 0
    interrupted = False
    try:
        for index, m in enumerate(sample, 1):
            if wanted is not None and index not in wanted:
                continue
            t0 = time.time()
            killer = ""
            with Applied(m, build_dir):
                built, out = build(build_dir, args.jobs, 1800)
                if not built and "Error running test executable" in out:
                    # It compiled, but the test programs fail as soon as they
                    # are asked for their list of tests.
                    fate, killer = "killed", "  [test discovery]"
                elif not built:
                    fate = "build-error"
                else:
                    fate = "survived"
                    for numbers, limit, _ in phases:
                        outcome, results = run_ctest(build_dir, numbers, args.jobs, limit)
                        if outcome != "passed":
                            fate = outcome
                            bad = [n for n, (s, _) in results.items() if "Passed" not in s]
                            killer = f"  [{bad[0]}]" if bad else ""
                            break
            ran += 1
            fates[fate] = fates.get(fate, 0) + 1
            seconds[fate] = seconds.get(fate, 0.0) + time.time() - t0
            if fate == "survived":
                survivors.append((index, m))
            print(line_for(index, m, fate) + f"  ({time.time() - t0:.0f} s){killer}", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the source is restored", flush=True)
        interrupted = True
    finally:
        jdir = journal_dir(build_dir)
        if jdir.is_dir() and not any(p.is_file() for p in jdir.rglob("*")):
            shutil.rmtree(jdir, ignore_errors=True)

    killed = fates.get("killed", 0) + fates.get("timeout", 0)
    scored = killed + fates.get("survived", 0)
    elapsed = time.time() - run_started
    print()
    pct = f" ({100.0 * killed / scored:.0f}%)" if scored else ""
    print(f"mutation score {killed}/{scored}{pct}")
    print(f"  killed {fates.get('killed', 0)}, timeout {fates.get('timeout', 0)}, "
          f"survived {fates.get('survived', 0)}, build-error {fates.get('build-error', 0)}; "
          f"{ran} mutants in {elapsed:.0f} s, {elapsed / max(ran, 1):.1f} s each")
    if ran:
        print("  average " + ", ".join(f"{fate} {seconds[fate] / fates[fate]:.1f} s" for fate in sorted(fates)))
    if survivors:
        print("survivors:")
        for index, m in survivors:
            print(line_for(index, m))
    return 130 if interrupted else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        sys.exit(130)
