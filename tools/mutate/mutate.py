#!/usr/bin/env python3
"""Mutation testing of the safety core: how many realistic faults does the suite catch?

Each mutant is one small fault put into one source file (a comparison flipped, a
condition dropped, a statement or a flag removed, ...). The tool works in a private
copy of the source tree with its own build directory (build-mutate/ by default),
builds each mutant there, runs the CTest suite with the tests most related to the
mutated file first and stops at the first failure. The copy is reused from run to
run, so only the mutated file and what links it are rebuilt.

The C++ is read token by token: comments, string and character literals and
preprocessor lines are never mutated. A mutant that the heuristics get wrong does
not compile and is reported as such, never as a kill.
"""

import argparse
import fnmatch
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field

# --------------------------------------------------------------------------- tokens

_OPERATORS = sorted("""<=> <<= >>= ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .*
    + - * / % ^ & | ~ ! = < > , ; : ? . ( ) [ ] { } #""".split(), key=len, reverse=True)
_ID = re.compile(r"[A-Za-z_]\w*")
_NUMBER = re.compile(r"(?:\d|\.\d)(?:[eEpP][+-]|'(?=[0-9A-Za-z])|[\w.])*")
_STRING_PREFIX = re.compile(r"(?:u8|u|U|L)?R?(?=[\"'])")


@dataclass
class Token:
    kind: str  # id, num, str, op
    text: str
    start: int
    end: int
    line: int
    space_before: bool
    space_after: bool = False


def tokenize(src):
    """The tokens of C++ source, without comments and preprocessor lines."""
    tokens = []
    i, n, line = 0, len(src), 1
    line_start = True  # only blanks so far on this line
    space = True
    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            line_start = space = True
            continue
        if c in " \t\r\f\v":
            i += 1
            space = True
            continue
        if src.startswith("//", i):
            j = src.find("\n", i)
            i = n if j < 0 else j
            space = True
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            j = n if j < 0 else j + 2
            line += src.count("\n", i, j)
            i = j
            space = True
            continue
        if c == "#" and line_start:  # a preprocessor line, with its continuations
            j = i
            while True:
                k = src.find("\n", j)
                if k < 0:
                    j = n
                    break
                if src[k - 1] == "\\" or src[k - 2:k] == "\\\r":
                    line += 1
                    j = k + 1
                    continue
                j = k
                break
            i = j
            continue
        line_start = False
        start = i
        m = _STRING_PREFIX.match(src, i) if c in "uULR\"'" else None
        if m is not None and (c in "\"'" or m.end() > i):
            prefix = src[i:m.end()]
            q = src[m.end()]
            if prefix.endswith("R") and q == '"':
                open_paren = src.index("(", m.end())
                delim = ")" + src[m.end() + 1:open_paren] + '"'
                j = src.index(delim, open_paren) + len(delim)
            else:
                j = m.end() + 1
                while j < n and src[j] != q:
                    j += 2 if src[j] == "\\" else 1
                j += 1
            tokens.append(Token("str", src[start:j], start, j, line, space))
            line += src.count("\n", i, j)
            i = j
        elif _ID.match(src, i):
            m = _ID.match(src, i)
            tokens.append(Token("id", m.group(), start, m.end(), line, space))
            i = m.end()
        elif _NUMBER.match(src, i):
            m = _NUMBER.match(src, i)
            tokens.append(Token("num", m.group(), start, m.end(), line, space))
            i = m.end()
        else:
            op = next((o for o in _OPERATORS if src.startswith(o, i)), c)
            tokens.append(Token("op", op, start, i + len(op), line, space))
            i += len(op)
        space = False
    for a, b in zip(tokens, tokens[1:]):
        a.space_after = b.start > a.end
    if tokens:
        tokens[-1].space_after = True
    return tokens


# --------------------------------------------------------------------------- mutants

@dataclass
class Mutant:
    path: str        # relative to the source root
    line: int
    what: str        # the operator's own words: "'<' -> '<='", "drop statement", ...
    edits: list      # (start, end, replacement) in the original text
    desc: str = ""   # what + the line it changes: stable across edits elsewhere in the file
    key: str = field(default="", compare=False)

    def apply(self, src):
        for start, end, text in sorted(self.edits, reverse=True):
            src = src[:start] + text + src[end:]
        return src


_RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
_KEYWORDS = set("""alignas alignof asm auto bool break case catch char char8_t char16_t char32_t class
    co_await co_return co_yield concept const consteval constexpr constinit const_cast continue decltype
    default delete do double dynamic_cast else enum explicit export extern false float for friend goto if
    inline int long mutable namespace new noexcept nullptr operator private protected public register
    reinterpret_cast requires return short signed sizeof static static_assert static_cast struct switch
    template this thread_local throw true try typedef typeid typename union unsigned using virtual void
    volatile wchar_t while""".split())
_ASSIGN = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
_RESET_VALUES = {"false", "0", "nullptr", "{}", '""', "{ }"}
_RESET_CALLS = {"clear", "reset"}
# Flags that a call may be given on their own; removing one means passing 0.
_LONE_FLAG = re.compile(r"^(O|RENAME|AT|FD|IN|MS|SOCK|MSG|MFD|LOCK)_[A-Z0-9_]+$")
_NOT_FLAGS = {"AT_FDCWD", "O_RDONLY"}  # a descriptor; and the open mode whose value is 0
_FLAG_NAME = re.compile(r"^[A-Z][A-Z0-9]*_[A-Z0-9_]+$")
_BODY_AFTER = {")", "]", "const", "noexcept", "override", "final", "mutable", "volatile", "}"}


def _match(tokens, i):
    """The index of the bracket that closes tokens[i]."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    want, depth = pairs[tokens[i].text], 0
    for j in range(i, len(tokens)):
        t = tokens[j].text
        if t == tokens[i].text:
            depth += 1
        elif t == want:
            depth -= 1
            if depth == 0:
                return j
    return len(tokens) - 1


class Generator:
    """All mutants of one file's text."""

    def __init__(self, path, src):
        self.path, self.src = path, src
        self.t = tokenize(src)
        self.mutants = []
        self.lines = src.split("\n")

    def run(self):
        self._scan_declarations(0, len(self.t))
        self._token_operators()
        self._describe()
        return self.mutants

    # -- helpers
    def add(self, i, what, edits):
        self.mutants.append(Mutant(self.path, self.t[i].line, what, edits))

    def text(self, i, j):
        """The source text from token i to token j, both included."""
        return self.src[self.t[i].start:self.t[j].end]

    def _describe(self):
        span = {}  # line -> (start of its first token, end of its last): the code without comments
        for tok in self.t:
            first, _ = span.get(tok.line, (tok.start, tok.end))
            span[tok.line] = (first, tok.end)
        seen = {}
        for m in self.mutants:
            a, b = span.get(m.line, (0, 0))
            code = " ".join(self.src[a:b].split())
            base = f"{m.what} in `{code}`"
            seen[base] = seen.get(base, 0) + 1
            m.desc = base if seen[base] == 1 else f"{base} #{seen[base]}"
            m.key = f"{m.path}: {m.desc}"

    # -- operators on single tokens, anywhere outside preprocessor lines
    def _token_operators(self):
        t = self.t
        attribute = 0
        for i, tok in enumerate(t):
            if tok.text == "[" and i + 1 < len(t) and t[i + 1].text == "[":
                attribute = _match(t, i)
            if i <= attribute or (i > 0 and t[i - 1].text == "operator"):
                continue
            if tok.kind == "op" and tok.text in _RELATIONAL and tok.space_before and tok.space_after:
                new = _RELATIONAL[tok.text]
                self.add(i, f"'{tok.text}' -> '{new}'", [(tok.start, tok.end, new)])
            elif tok.kind == "op" and tok.text in ("&&", "||") and tok.space_before and tok.space_after:
                new = "||" if tok.text == "&&" else "&&"
                self.add(i, f"'{tok.text}' -> '{new}'", [(tok.start, tok.end, new)])
            elif tok.kind == "num":
                self._integer(i)
            elif tok.kind == "id" and _FLAG_NAME.match(tok.text) and tok.text not in _NOT_FLAGS:
                self._flag(i)

    def _integer(self, i):
        tok = self.t[i]
        m = re.fullmatch(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|\d[\d']*)([uUlLzZ]*)", tok.text)
        if not m or (i > 0 and self.t[i - 1].text == "static_assert"):
            return
        digits, suffix = m.group(1).replace("'", ""), m.group(2)
        value = int(digits, 0) if not re.fullmatch(r"0\d+", digits) else int(digits, 8)

        def spell(v):
            if digits[:2].lower() == "0x":
                return f"0x{v:X}" + suffix
            if digits[:2].lower() == "0b":
                return f"0b{v:b}" + suffix
            if digits.startswith("0") and len(digits) > 1:
                return f"0{v:o}" + suffix
            return f"{v}" + suffix
        for v in (value + 1, value - 1):
            if v >= 0:
                self.add(i, f"{tok.text} -> {spell(v)}", [(tok.start, tok.end, spell(v))])

    def _flag(self, i):
        t = self.t
        prev = t[i - 1].text if i > 0 else ""
        nxt = t[i + 1].text if i + 1 < len(t) else ""
        name = t[i].text
        if prev == "|" and t[i - 1].kind == "op":
            self.add(i, f"drop flag {name}", [(t[i - 2].end, t[i].end, "")])
        elif nxt == "|":
            self.add(i, f"drop flag {name}", [(t[i].start, t[i + 2].start if i + 2 < len(t) else t[i + 1].end, "")])
        elif prev in ("(", ",") and nxt in (")", ",") and _LONE_FLAG.match(name):
            self.add(i, f"flag {name} -> 0", [(t[i].start, t[i].end, "0")])

    # -- structure: namespaces and classes hold functions; function bodies hold statements
    def _scan_declarations(self, i, end):
        t = self.t
        head = i
        while i < end:
            x = t[i].text
            if x in (";", "}"):
                head = i + 1
            elif x == "{":
                close = _match(t, i)
                words = {tok.text for tok in t[head:i]}
                prev = t[i - 1].text if i > 0 else ""
                if words & {"namespace", "class", "struct", "union"} and prev not in (")", "]"):
                    self._scan_declarations(i + 1, close)
                elif prev in _BODY_AFTER and any(tok.text == "(" for tok in t[head:i]) or prev == "]":
                    self._block(i, close, self._returns_bool(head, i))
                elif "=" in words or prev == "=":  # an initializer: lambdas inside it have bodies
                    self._expression(i + 1, close)
                head = close + 1
                i = close
            i += 1

    def _returns_bool(self, head, brace):
        t = self.t
        if brace >= 2 and t[brace - 2].text == "->":
            return t[brace - 1].text == "bool"
        paren = next((k for k in range(head, brace) if t[k].text == "("), None)
        if paren is None or paren < 1:
            return False
        k = paren - 1  # the name, maybe qualified
        while k >= 2 and t[k - 1].text == "::":
            k -= 2
        return k >= 1 and t[k - 1].text == "bool"

    def _expression(self, i, end):
        """Lambdas in an expression: their bodies are blocks."""
        t = self.t
        while i < end:
            if t[i].text == "{" and i > 0 and t[i - 1].text in (")", "]", "mutable", "bool") and self._lambda_brace(i):
                close = _match(t, i)
                self._block(i, close, t[i - 2].text == "->" and t[i - 1].text == "bool")
                i = close
            i += 1

    def _lambda_brace(self, i):
        t = self.t
        if t[i - 1].text in ("]", "mutable"):
            return True
        if t[i - 1].text == "bool":
            return t[i - 2].text == "->"
        # ')' closes a lambda's parameters when '[...]' is right before its '('
        depth = 0
        for k in range(i - 1, -1, -1):
            if t[k].text == ")":
                depth += 1
            elif t[k].text == "(":
                depth -= 1
                if depth == 0:
                    return k > 0 and t[k - 1].text == "]"
        return False

    def _block(self, brace, close, returns_bool, top=True):
        i = brace + 1
        while i < close:
            i = self._statement(i, close, returns_bool, top) + 1

    def _statement(self, i, end, returns_bool, top):
        """Mutants of the statement at i; returns the index of its last token."""
        t = self.t
        x = t[i].text
        if x == "{":
            close = _match(t, i)
            self._block(i, close, returns_bool, top=False)
            return close
        if x in ("case", "default"):
            k = i
            while k < end and t[k].text != ":":
                k += 1
            return k
        if x in ("if", "while", "for", "switch"):
            k = i + 1
            if t[k].text == "constexpr":
                k += 1
            if t[k].text != "(":
                return self._plain(i, end, returns_bool, top)
            close = _match(t, k)
            if x in ("if", "while") and t[i + 1].text != "constexpr":
                self._condition(i, k, close)
            else:
                self._expression(k, close)
            last = self._statement(close + 1, end, returns_bool, False)
            if x == "if" and last + 1 < end and t[last + 1].text == "else":
                last = self._statement(last + 2, end, returns_bool, False)
            return last
        if x == "do":
            last = self._statement(i + 1, end, returns_bool, False)
            return self._plain(last + 1, end, returns_bool, top)
        if x == "else":
            return self._statement(i + 1, end, returns_bool, False)
        if x == "try":
            last = self._statement(i + 1, end, returns_bool, False)
            while last + 1 < end and t[last + 1].text == "catch":
                close = _match(t, last + 2)
                last = self._statement(close + 1, end, returns_bool, False)
            return last
        return self._plain(i, end, returns_bool, top)

    def _plain(self, i, end, returns_bool, top):
        """A statement that ends with ';'."""
        t = self.t
        k = i
        while k < end and t[k].text != ";":
            if t[k].text in ("(", "[", "{"):
                if t[k].text == "{" and k > 0 and self._lambda_brace(k):
                    close = _match(t, k)
                    self._block(k, close, t[k - 2].text == "->" and t[k - 1].text == "bool")
                    k = close
                else:
                    self._expression(k + 1, _match(t, k))
                    k = _match(t, k)
            k += 1
        last = k
        if last >= end or last == i:
            return last
        first = t[i].text
        removed = [(t[i].start, t[last].end, "{}")]
        if first == "return":
            if last - i == 2 and t[i + 1].text in ("true", "false"):
                new = "false" if t[i + 1].text == "true" else "true"
                self.add(i, f"return {t[i + 1].text} -> return {new}", [(t[i + 1].start, t[i + 1].end, new)])
            elif returns_bool and last - i > 1:
                self.add(i, "invert returned value", [(t[i + 1].start, t[i + 1].start, "!("),
                                                       (t[last - 1].end, t[last - 1].end, ")")])
            if not top:
                self.add(i, "drop return", removed)
            return last
        if first in _KEYWORDS and first not in ("this",) or t[i].kind != "id" and first not in ("::", "*", "++", "--", "("):
            return last
        # A declaration has a type and then a name: two names in a row, or a name after '>', '*', '&'.
        depth = 0
        assign = None
        for k in range(i, last):
            s = t[k].text
            if s in ("(", "[", "{"):
                depth += 1
            elif s in (")", "]", "}"):
                depth -= 1
            elif depth == 0:
                if s in _ASSIGN:
                    assign = k
                    break
                if t[k].kind == "id" and k > i and (t[k - 1].kind == "id" or t[k - 1].text in (">", ">>", "&", "&&") or
                                                     (t[k - 1].text == "*" and k - 1 > i and t[k - 2].kind == "id"
                                                      and not (t[k - 1].space_before and t[k - 1].space_after))):
                    if t[k - 1].text not in _KEYWORDS or t[k - 1].text in ("const", "auto"):
                        return last
        if assign is not None:
            value = " ".join(tok.text for tok in t[assign + 1:last])
            kind = "drop reset" if t[assign].text == "=" and value in _RESET_VALUES else "drop assignment"
            self.add(i, kind, removed)
        elif any(tok.text == "(" for tok in t[i:last]):
            reset = last - i >= 4 and t[last - 3].text in _RESET_CALLS and t[last - 4].text in (".", "->")
            self.add(i, "drop reset" if reset else "drop call", removed)
        elif t[i].text in ("++", "--") or t[last - 1].text in ("++", "--"):
            self.add(i, "drop statement", removed)
        return last

    def _condition(self, kw, paren, close):
        t = self.t
        start = paren + 1
        depth = 0
        for k in range(start, close):  # if (init; condition)
            if t[k].text in ("(", "[", "{"):
                depth += 1
            elif t[k].text in (")", "]", "}"):
                depth -= 1
            elif depth == 0 and t[k].text == ";":
                start = k + 1
            elif depth == 0 and t[k].text == "=":
                self._expression(paren, close)
                return  # a declaration in the condition
        if start >= close:
            return
        self._expression(start, close)
        a, b = t[start].start, t[close - 1].end
        self.add(kw, "negate condition", [(a, a, "!("), (b, b, ")")])
        if t[kw].text == "if":
            self.add(kw, "condition -> true", [(a, b, "true")])
        self.add(kw, "condition -> false", [(a, b, "false")])
        # each operand of a top-level && / || chain dropped in turn
        parts, depth, begin = [], 0, start
        for k in range(start, close):
            s = t[k].text
            if s in ("(", "[", "{"):
                depth += 1
            elif s in (")", "]", "}"):
                depth -= 1
            elif depth == 0 and s in ("&&", "||"):
                parts.append((begin, k - 1, k))
                begin = k + 1
            elif depth == 0 and s in ("?",):
                return
        if not parts:
            return
        parts.append((begin, close - 1, None))
        for n, (p0, p1, op) in enumerate(parts):
            operand = " ".join(self.text(p0, p1).split())
            if n + 1 < len(parts):
                edit = (t[p0].start, t[parts[n + 1][0]].start, "")
            else:
                edit = (t[parts[n - 1][1]].end, t[p1].end, "")
            self.add(p0, f"drop condition `{operand}`", [edit])


def mutants_of(path, src):
    return Generator(path, src).run()


# --------------------------------------------------------------------------- configuration

@dataclass
class Config:
    files: list          # (glob, [related test groups])
    skip_tests: list     # globs of test names never run for a mutant


def read_config(path):
    files, skip = [], []
    with open(path, encoding="utf-8") as fh:
        lines = fh.readlines()
    for n, raw in enumerate(lines, 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        word, _, rest = line.partition(" ")
        if word == "file":
            pattern, _, related = rest.partition("->")
            files.append((pattern.strip(), related.split()))
        elif word == "skip-test":
            skip.append(rest.strip())
        else:
            sys.exit(f"{path}:{n}: expected 'file' or 'skip-test', not {word!r}")
    return Config(files, skip)


def read_equivalents(path):
    """{'file: description' glob: reason}; each entry must give its reason."""
    entries, pending = {}, None
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as fh:
        lines = fh.readlines()
    for n, raw in enumerate(lines, 1):
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        if raw[0].isspace():
            text = raw.strip()
            if pending is None or not text.startswith("because:"):
                sys.exit(f"{path}:{n}: expected an indented 'because: <reason>' after a mutant")
            entries[pending] = text[len("because:"):].strip()
            pending = None
        else:
            if pending is not None:
                sys.exit(f"{path}:{n}: the mutant before this line has no 'because:' line")
            pending = " ".join(raw.split())
    if pending is not None:
        sys.exit(f"{path}: the last mutant has no 'because:' line")
    return entries


def equivalent_reason(mutant, entries):
    key = " ".join(mutant.key.split())
    for pattern, reason in entries.items():
        if key == pattern or fnmatch.fnmatchcase(key, pattern):
            return reason
    return None


def source_files(root):
    """The files of the source tree: git's view when it has one (untracked, unignored files too)."""
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                             check=True, capture_output=True).stdout
        names = [f for f in out.decode().split("\0") if f]
        return sorted({f for f in names if os.path.isfile(os.path.join(root, f))})
    except (subprocess.CalledProcessError, FileNotFoundError):
        found = []
        for d, dirs, files in os.walk(root):
            dirs[:] = [x for x in dirs if not (x == "build" or x.startswith("build-") or x.startswith("."))]
            found += [os.path.relpath(os.path.join(d, f), root) for f in files]
        return sorted(found)


def candidate_files(root, config, only):
    files = source_files(root)
    chosen = []
    for f in files:
        if "/win32/" in "/" + f:  # the Linux suite cannot kill what it does not build
            continue
        related = next((rel for pattern, rel in config.files if fnmatch.fnmatchcase(f, pattern)), None)
        if related is None:
            continue
        if only and not any(fnmatch.fnmatchcase(f, g) for g in only):
            continue
        chosen.append((f, related))
    return chosen


# --------------------------------------------------------------------------- the private tree

class Tree:
    def __init__(self, root, workdir, jobs, log):
        self.root = root
        self.dir = os.path.join(workdir, "tree")
        self.build = os.path.join(self.dir, "build")
        self.jobs = jobs
        self.log = log

    def sync(self):
        """Makes the copy equal to the source tree; a changed file gets a fresh time so it is rebuilt."""
        wanted = set(source_files(self.root))
        digest = hashlib.sha256()
        for f in sorted(wanted):
            src = os.path.join(self.root, f)
            dst = os.path.join(self.dir, f)
            with open(src, "rb") as fh:
                data = fh.read()
            if f not in ("tools/mutate/files.txt", "tools/mutate/equivalent.txt"):  # editing the lists keeps the baseline
                digest.update(f.encode() + b"\0" + hashlib.sha256(data).digest())
            try:
                with open(dst, "rb") as fh:
                    same = fh.read() == data
            except OSError:
                same = False
            if not same:
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                with open(dst, "wb") as fh:
                    fh.write(data)
                shutil.copymode(src, dst)
        for d, dirs, files in os.walk(self.dir):
            rel = os.path.relpath(d, self.dir)
            if rel == "build" or rel.startswith("build" + os.sep):
                dirs[:] = []
                continue
            for f in files:
                r = os.path.normpath(os.path.join(rel, f))
                if r not in wanted:
                    os.remove(os.path.join(d, f))
        return digest.hexdigest()

    def configure(self):
        if os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            return
        presets = os.path.join(self.dir, "CMakePresets.json")
        if os.path.exists(presets) and '"default"' in open(presets).read():
            cmd = ["cmake", "--preset", "default"]
        else:
            cmd = ["cmake", "-S", ".", "-B", "build"]
        self.log(f"configuring {self.dir}")
        r = subprocess.run(cmd, cwd=self.dir, capture_output=True, text=True)
        if r.returncode != 0 or not os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            sys.exit(f"configuring the private tree failed:\n{r.stdout}{r.stderr}")

    def make(self):
        r = subprocess.run(["cmake", "--build", self.build, "-j", str(self.jobs)], capture_output=True, text=True)
        errors = [ln for ln in (r.stdout + r.stderr).splitlines() if "error" in ln]
        return r.returncode == 0, (errors[0] if errors else (r.stdout + r.stderr)[-300:]).strip()

    def tests(self):
        """[(number, name, group)], group being the test executable or, for other tests, the name."""
        r = subprocess.run(["ctest", "--test-dir", self.build, "--show-only=json-v1"], capture_output=True, text=True)
        if r.returncode != 0:
            return None, (r.stderr or r.stdout).strip().splitlines()[-1:] or ["ctest failed"]
        found = []
        for n, test in enumerate(json.loads(r.stdout).get("tests", []), 1):
            cmd = test.get("command") or []
            gtest = any(a.startswith("--gtest_filter") for a in cmd)
            group = os.path.basename(cmd[0]) if gtest and cmd else test["name"]
            found.append((n, test["name"], group))
        return found, None


# --------------------------------------------------------------------------- running the suite

_START = re.compile(r"^\s*Start\s+(\d+): (\S+)")
_DONE = re.compile(r"Test\s+#(\d+): (\S+).*\.{3}\s*\**\s*([A-Za-z][^\d]*?)\s+([\d.]+) sec\s*$")


def run_ctest(build, names, jobs, limit_of, log_path, stop=True):
    """Runs the given tests, stopping at the first failure unless told not to.
    names: {test number: name}. Returns (passed: bool, first failing test or None, how, {name: seconds},
    [every failing test])."""
    cmd = ["ctest", "--test-dir", build, "-j", str(jobs), "-I", "0,0,0," + ",".join(str(n) for n in names)]
    if stop:
        cmd.append("--stop-on-failure")
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    running, times, failed = {}, {}, []
    timed_out = []
    lock = threading.Lock()

    def watch():
        while proc.poll() is None:
            time.sleep(0.5)
            with lock:
                now = time.monotonic()
                for name, began in list(running.items()):
                    if now - began > limit_of(name):
                        timed_out.append(name)
                        os.killpg(proc.pid, signal.SIGKILL)
                        return
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    with open(log_path, "a") as log:
        for line in proc.stdout:
            log.write(line)
            m = _START.search(line)
            if m:
                with lock:
                    running[names.get(int(m.group(1)), m.group(2))] = time.monotonic()
                continue
            m = _DONE.search(line)
            if m:
                name = names.get(int(m.group(1)), m.group(2))
                status, secs = m.group(3).strip(), float(m.group(4))
                with lock:
                    running.pop(name, None)
                times[name] = secs
                if not status.startswith(("Passed", "Skipped", "Not Run")):
                    failed.append((name, "failed" if status == "Failed" else status.lower()))
    rc = proc.wait()
    watcher.join(timeout=1)
    every = [name for name, _ in failed] + timed_out
    if timed_out:
        return False, timed_out[0], "timeout", times, every
    if failed:
        return False, failed[0][0], failed[0][1], times, every
    if rc != 0:
        return False, "(ctest)", f"exit {rc}", times, every
    return True, None, None, times, every


def stages(tests, related, skip, durations):
    """The tests in the order they run: the related groups first, then the rest, quickest group first."""
    groups = {}
    for n, name, group in tests:
        if any(fnmatch.fnmatchcase(name, g) for g in skip):
            continue
        groups.setdefault(group, []).append((n, name))
    first = [g for g in related if g in groups]
    rest = sorted((g for g in groups if g not in first),
                  key=lambda g: (sum(durations.get(name, 60.0) for _, name in groups[g]), g))
    return [(g, groups[g]) for g in first + rest]


def run_suite(tree, related, skip, durations, jobs, timeout, log_path):
    """Returns (result, test, how, {name: seconds}, [tests that failed once and then passed alone])."""
    tests, error = tree.tests()
    if tests is None:
        return "killed", "(test listing)", error[0], {}, []
    listed = {name for _, name, _ in tests}
    lost = [name for name in durations if name not in listed]
    if lost:  # a test program that cannot even list its tests under the mutant
        return "killed", lost[0], "not listed", {}, []
    stop = timeout is not None
    timeout = timeout or 1e9
    failing, flaky = [], []

    def limit_of(name):
        return max(timeout, 3 * durations.get(name, 0.0))
    all_times = {}
    for group, members in stages(tests, related, skip, durations):
        todo = dict(members)
        while todo:
            ok, test, how, times, every = run_ctest(tree.build, todo, jobs, limit_of, log_path, stop)
            all_times.update(times)
            if ok or not stop:
                failing += every or ([] if ok else [test])
                break
            # A kill counts when the test fails again on its own: on a busy machine a
            # test that is sensitive to timing may fail once on a sound build.
            number = next((n for n, name in todo.items() if name == test), None)
            if number is None or not run_ctest(tree.build, {number: test}, 1, limit_of, log_path)[0]:
                return "killed", test, how, all_times, flaky
            flaky.append(test)
            todo = {n: name for n, name in todo.items() if name != test and (name not in times or name in every)}
    if failing:
        return "killed", failing, None, all_times, flaky
    return "survived", None, None, all_times, flaky


# --------------------------------------------------------------------------- report

def table(results):
    rows = [("#", "result", "by", "file:line", "mutant")]
    for n, r in enumerate(results, 1):
        by = r["by"] or ""
        if r["how"] and r["result"] == "killed" and r["how"] != "failed":
            by += f" ({r['how']})"
        if r.get("flaky"):
            by += f" (failed once, passed alone: {', '.join(r['flaky'])})"
        rows.append((str(n), r["result"], by, f"{r['file']}:{r['line']}", r["mutant"]))
    widths = [max(len(row[c]) for row in rows) for c in range(4)]
    out = []
    for row in rows:
        out.append("  ".join(row[c].ljust(widths[c]) for c in range(4)) + "  " + row[4])
    return "\n".join(out)


def summary(results):
    count = {k: sum(1 for r in results if r["result"] == k) for k in ("killed", "survived", "no-compile", "equivalent")}
    judged = len(results) - count["no-compile"] - count["equivalent"]
    rate = f"{100.0 * count['killed'] / judged:.1f}%" if judged else "n/a"
    return (f"kill rate: {rate} = {count['killed']} killed / ({len(results)} sampled - {count['no-compile']} not compiling"
            f" - {count['equivalent']} equivalent); {count['survived']} survived")


# --------------------------------------------------------------------------- main

def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(prog="scripts/mutate", description=__doc__.split("\n\n")[0])
    p.add_argument("count", nargs="?", type=int, default=None,
                   help="how many mutants to sample (default 40; with --list, all of them)")
    p.add_argument("--seed", type=int, default=None, help="seed of the sample, for a repeatable run")
    p.add_argument("--files", action="append", default=[], metavar="GLOB",
                   help="only mutate files matching GLOB (repeatable), e.g. 'src/intake/*'")
    p.add_argument("--list", action="store_true", help="print the candidate mutants (a sample of them with N) and stop")
    p.add_argument("-j", "--jobs", type=int, default=2, help="parallel jobs for the build and for CTest (default 2)")
    p.add_argument("--timeout", type=float, default=30.0,
                   help="a test is stopped, and the mutant counted killed by timeout, after 3 times its"
                        " unmutated time, or after this many seconds if that is longer (default 30)")
    p.add_argument("--root", default=os.path.dirname(os.path.dirname(here)), help=argparse.SUPPRESS)
    p.add_argument("--config", default=None, help="the list of files to mutate (default tools/mutate/files.txt)")
    p.add_argument("--equivalent", default=None, help="the list of equivalent mutants (default tools/mutate/equivalent.txt)")
    p.add_argument("--workdir", default=None, help="the private tree and its build (default build-mutate/)")
    args = p.parse_args(argv)
    root = os.path.abspath(args.root)
    config = read_config(args.config or os.path.join(root, "tools/mutate/files.txt"))
    equivalents = read_equivalents(args.equivalent or os.path.join(root, "tools/mutate/equivalent.txt"))

    files = candidate_files(root, config, args.files)
    related_of = dict(files)
    mutants = []
    for f, _ in files:
        with open(os.path.join(root, f), encoding="utf-8") as fh:
            mutants += mutants_of(f, fh.read())
    rng = random.Random(args.seed)
    count = args.count if args.count is not None else len(mutants) if args.list else 40
    sample = rng.sample(mutants, min(count, len(mutants)))
    sample.sort(key=lambda m: (m.path, m.line, m.desc))

    if args.list:
        for m in sample:
            reason = equivalent_reason(m, equivalents)
            print(f"{m.path}:{m.line}: {m.desc}" + (f"    [equivalent: {reason}]" if reason else ""))
        print(f"{len(sample)} of {len(mutants)} mutants in {len(files)} files", file=sys.stderr)
        return 0

    workdir = os.path.abspath(args.workdir or os.path.join(root, "build-mutate"))
    os.makedirs(workdir, exist_ok=True)
    log_path = os.path.join(workdir, "ctest.log")
    open(log_path, "w").close()

    def log(msg):
        print(msg, file=sys.stderr, flush=True)
    tree = Tree(root, workdir, args.jobs, log)
    digest = tree.sync()
    tree.configure()
    log("building the unmutated tree")
    ok, error = tree.make()
    if not ok:
        sys.exit(f"the unmutated tree does not build: {error}")

    # The unmutated suite: it must pass, and its times order the groups and bound each test.
    baseline_path = os.path.join(workdir, "baseline.json")
    durations = {}
    if os.path.exists(baseline_path):
        with open(baseline_path) as fh:
            saved = json.load(fh)
        if saved.get("digest") == digest and saved.get("skip") == config.skip_tests:
            durations = saved["durations"]
    if not durations:
        log("running the unmutated suite once (its times are kept in build-mutate/baseline.json)")
        start = time.monotonic()
        result, failing, how, durations, _ = run_suite(tree, [], config.skip_tests, {}, args.jobs, None, log_path)
        if result == "survived":
            failing = []
        else:
            if not isinstance(failing, list):
                sys.exit(f"the unmutated suite cannot run ({failing}: {how}); see {log_path}")
            log(f"the unmutated suite fails {', '.join(failing)}: left out of every mutant's run; see {log_path}")
        log(f"unmutated suite: {time.monotonic() - start:.0f} s")
        with open(baseline_path, "w") as fh:
            json.dump({"digest": digest, "skip": config.skip_tests, "durations": durations,
                       "failing": failing or []}, fh)
    else:
        failing = saved.get("failing", [])
        if failing:
            log(f"left out, as they fail unmutated: {', '.join(failing)}")
    skip = config.skip_tests + [re.sub(r"([*?\[])", r"[\1]", name) for name in failing]

    # A mutant may change the modes of the folders the tests run in (a
    # private-folder rule turned on the current folder): each next mutant
    # starts with them as they were, or tests run as another user would fail
    # for it.
    folders = [tree.dir] + [os.path.join(tree.build, d) for d in ("", "bin", "tests")]
    modes = {d: os.stat(d).st_mode & 0o7777 for d in folders if os.path.isdir(d)}

    results = []
    for n, m in enumerate(sample, 1):
        row = {"file": m.path, "line": m.line, "mutant": m.desc, "by": None, "how": None}
        reason = equivalent_reason(m, equivalents)
        started = time.monotonic()
        if reason:
            row.update(result="equivalent", by=reason)
        else:
            target = os.path.join(tree.dir, m.path)
            original = open(target, encoding="utf-8").read()
            try:
                with open(target, "w", encoding="utf-8") as fh:
                    fh.write(m.apply(original))
                built, error = tree.make()
                if not built:
                    row.update(result="no-compile", how=error)
                else:
                    result, test, how, _, flaky = run_suite(tree, related_of[m.path], skip, durations,
                                                            args.jobs, args.timeout, log_path)
                    row.update(result=result, by=test, how=how, flaky=flaky)
            finally:
                with open(target, "w", encoding="utf-8") as fh:
                    fh.write(original)
                for d, mode in modes.items():
                    os.chmod(d, mode)
        results.append(row)
        by = f" by {row['by']}" if row["by"] and row["result"] == "killed" else ""
        log(f"[{n}/{len(sample)}] {m.path}:{m.line} {m.desc}: {row['result']}{by} ({time.monotonic() - started:.0f} s)")

    json.dump(results, open(os.path.join(workdir, "last-run.json"), "w"), indent=1)
    print(table(results))
    print(summary(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
