"""Where a source file can be changed by one small fault, found on its tokens.

The lexer knows comments, string and character literals and preprocessor
lines, so no change ever lands inside one of them. Each candidate is one
token or one statement replaced; its key (file, the lines' text before and
after) does not depend on line numbers, so the list of argued-equivalent
mutants survives edits elsewhere in a file.
"""
from __future__ import annotations

import dataclasses
import hashlib
import re
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

TOKEN = re.compile(
    r"""(?P<space>\s+)
      | (?P<comment>//[^\n]*|/\*.*?\*/)
      | (?P<string>(?:u8|[uUL])?R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"|(?:u8|[uUL])?"(?:\\.|[^"\\\n])*")
      | (?P<char>'(?:\\.|[^'\\\n])*')
      | (?P<number>(?:0[xX][0-9A-Fa-f']+|\d[\d']*)(?:\.\d+)?[uUlLfF]*)
      | (?P<ident>[A-Za-z_]\w*)
      | (?P<punct>->\*?|\+\+|--|<<=|>>=|<=>|<<|>>|<=|>=|==|!=|&&|\|\||::|[-+*/%&|^!~<>=]=?|\.\.\.|[][(){};:,.?#])
    """,
    re.S | re.X,
)


@dataclass(frozen=True)
class Token:
    kind: str
    text: str
    start: int
    end: int


def tokens(text: str) -> list[Token]:
    """The code tokens of a file: no space, comments or preprocessor lines."""
    found: list[Token] = []
    pos = 0
    directive = False  # inside a preprocessor line, up to its unescaped newline
    line_start = True
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if m is None:  # a stray byte: step over it
            pos += 1
            continue
        kind = m.lastgroup if m.lastgroup != "delim" else "string"
        if kind == "space":
            if "\n" in m.group() and not (directive and text[pos:m.start() + m.group().index("\n")].endswith("\\")):
                directive = False
                line_start = True
        elif kind == "punct" and m.group() == "#" and line_start:
            directive = True
        elif not directive and kind != "comment":
            found.append(Token(kind, m.group(), m.start(), m.end()))
        if kind not in ("space", "comment"):
            line_start = False
        pos = m.end()
    return found


@dataclass(frozen=True)
class Mutant:
    file: str
    line: int          # 1-based, of the change's first character
    function: str      # the enclosing function's name, "" at file scope
    operator: str
    start: int         # the replaced span, as offsets into the file
    end: int
    replacement: str
    before: str        # the touched lines, as they were and as they become
    after: str
    occurrence: int = 1  # which of the same change to the same text in the same function


    @property
    def key(self) -> tuple[str, str, str, str, int]:
        return (self.file, self.function, squeeze(self.before), squeeze(self.after), self.occurrence)

    def apply(self, text: str) -> str:
        return text[:self.start] + self.replacement + text[self.end:]

    def rank(self, seed: int) -> str:
        # A mutant's place in the draw depends on itself and the seed alone,
        # so an edit to one file does not redraw the sample of the others.
        return hashlib.sha256("\0".join(map(str, (seed, *self.key))).encode()).hexdigest()


def squeeze(text: str) -> str:
    return " ".join(text.split())


RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
BOOLEAN = {"TRUE": "FALSE", "FALSE": "TRUE", "true": "false", "false": "true"}
# Calls that check or document and change no state: deleting them says nothing.
NOT_DELETED = {"UNREFERENCED_PARAMETER", "PAGED_CODE", "ASSERT", "NT_ASSERT", "C_ASSERT", "static_assert",
               "assert", "KdPrint", "DbgPrint"}
KEYWORDS = {"return", "if", "while", "for", "switch", "do", "else", "case", "goto", "break", "continue",
            "sizeof", "delete", "new", "throw", "const", "static", "struct", "enum", "typedef", "using"}
# Tokens after which a '<' opens a template argument list, not a comparison.
TEMPLATE_OPENERS = re.compile(r"^(static_cast|reinterpret_cast|const_cast|dynamic_cast|template|std|[A-Z]\w*_t)$")


def _comparison(toks: list[Token], i: int) -> bool:
    """A relational operator between two operands (not a template's brackets)."""
    if i == 0 or i + 1 >= len(toks):
        return False
    prev, nxt = toks[i - 1], toks[i + 1]
    if prev.kind not in ("ident", "number", "char") and prev.text not in (")", "]"):
        return False
    if toks[i].text in ("<", ">") and prev.kind == "ident" and TEMPLATE_OPENERS.match(prev.text):
        return False
    if toks[i].text == ">" and nxt.text in ("(", "::", ">", ";"):
        return False  # closes a cast's or template's argument list
    return nxt.kind in ("ident", "number", "char") or nxt.text in ("(", "!", "-", "~", "*", "&")


def _matching(toks: list[Token], i: int) -> int | None:
    """Index of the token closing the bracket at i."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    opener, closer, depth = toks[i].text, pairs[toks[i].text], 0
    for j in range(i, len(toks)):
        depth += (toks[j].text == opener) - (toks[j].text == closer)
        if depth == 0:
            return j
    return None


def _call_statement(toks: list[Token], i: int) -> int | None:
    """The index of the ';' ending a statement that is a call alone, if the
    statement starting at i is one: f(...); a->f(...); (VOID)f(...);"""
    j = i
    if toks[j].text == "(" and j + 2 < len(toks) and toks[j + 1].text in ("VOID", "void") and toks[j + 2].text == ")":
        j += 3
    if toks[j].kind != "ident" or toks[j].text in KEYWORDS or toks[j].text in NOT_DELETED:
        return None
    j += 1
    while j + 1 < len(toks) and toks[j].text in (".", "->", "::") and toks[j + 1].kind == "ident":
        j += 2
    if j >= len(toks) or toks[j].text != "(":
        return None
    close = _matching(toks, j)
    if close is None or close + 1 >= len(toks) or toks[close + 1].text != ";":
        return None
    return close + 1


def _parameters_open(toks: list[Token], brace: int) -> int | None:
    """The index of the '(' of the parameter list of the function whose body
    opens at toks[brace]."""
    j, depth = brace - 1, 0
    while j >= 0:
        depth += (toks[j].text == ")") - (toks[j].text == "(")
        if depth == 0:
            return j
        j -= 1
    return None


def _function_name(toks: list[Token], brace: int) -> str:
    j = _parameters_open(toks, brace)
    return toks[j - 1].text if j and toks[j - 1].kind == "ident" else ""


def _returns_status(toks: list[Token], brace: int) -> bool:
    j = (_parameters_open(toks, brace) or 0) - 1
    while j >= 0 and toks[j].text not in (";", "}", "{"):
        if toks[j].text == "NTSTATUS":
            return True
        j -= 1
    return False


def find(path: Path, rel: str) -> list[Mutant]:
    text = path.read_text()
    toks = tokens(text)
    found: list[Mutant] = []

    def add(operator: str, start: int, end: int, replacement: str) -> None:
        first = text.rfind("\n", 0, start) + 1
        last = text.find("\n", end)
        last = len(text) if last < 0 else last
        before = text[first:last]
        after = text[first:start] + replacement + text[end:last]
        found.append(Mutant(rel, text.count("\n", 0, start) + 1, function[-1] if function else "", operator, start, end, replacement, before, after))

    # Which function bodies return a status: a "return X;" inside one may turn into another status.
    status_body: list[bool] = []
    depth_kind: list[str] = []
    function: list[str] = []
    skip_to = -1
    for i, t in enumerate(toks):
        if t.text == "{":
            top_level = not depth_kind or all(k == "namespace" for k in depth_kind)
            is_function = top_level and i > 0 and toks[i - 1].text == ")"
            opens_scope = top_level and any(t.text in ("namespace", "extern") for t in toks[max(0, i - 3):i])
            depth_kind.append("function" if is_function else "namespace" if opens_scope else "block")
            status_body.append(_returns_status(toks, i) if is_function else bool(status_body) and status_body[-1])
            if is_function:
                function.append(_function_name(toks, i))
            continue
        if t.text == "}":
            if depth_kind:
                if depth_kind.pop() == "function":
                    function.pop()
                status_body.pop()
            continue
        if t.text in ("static_assert", "C_ASSERT") and i + 1 < len(toks) and toks[i + 1].text == "(":
            skip_to = _matching(toks, i + 1) or i
            continue
        if i <= skip_to:
            continue  # a compile-time check: a change there only fails the build
        if not any(k == "function" for k in depth_kind):
            # At file scope only the values of tables and initialisers change.
            if t.kind == "number" or t.text in BOOLEAN:
                pass
            else:
                continue
        if t.text in RELATIONAL and _comparison(toks, i):
            add("relational", t.start, t.end, RELATIONAL[t.text])
        elif t.text in LOGICAL and i > 0 and (toks[i - 1].kind in ("ident", "number") or toks[i - 1].text in (")", "]")):
            add("logical", t.start, t.end, LOGICAL[t.text])
        elif t.kind == "ident" and t.text in BOOLEAN:
            add("boolean", t.start, t.end, BOOLEAN[t.text])
        elif t.kind == "number" and re.fullmatch(r"(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*", t.text):
            digits = re.match(r"0[xX][0-9A-Fa-f]+|\d+", t.text).group()
            value = int(digits, 0) if not (len(digits) > 1 and digits[0] == "0" and digits[1] not in "xX") else int(digits, 8)
            bumped = {0: 1, 1: 0}.get(value, value + 1)
            suffix = t.text[len(digits):]
            add("constant", t.start, t.end, (hex(bumped) if digits[:2] in ("0x", "0X") else str(bumped)) + suffix)
        elif t.text in ("if", "while") and i + 1 < len(toks) and toks[i + 1].text == "(":
            close = _matching(toks, i + 1)
            if close is not None:
                inner = text[toks[i + 2].start:toks[close - 1].end]
                add("negate", toks[i + 2].start, toks[close - 1].end, f"!({inner})")
        elif t.text == "return" and status_body and status_body[-1] and i + 2 < len(toks) and toks[i + 2].text == ";":
            value = toks[i + 1]
            if value.kind == "ident" and (value.text.startswith("STATUS_") or value.text.endswith("Status")):
                if value.text != "STATUS_SUCCESS":
                    add("status", value.start, value.end, "STATUS_SUCCESS")
                if value.text != "STATUS_UNSUCCESSFUL":
                    add("status", value.start, value.end, "STATUS_UNSUCCESSFUL")
        if i > 0 and toks[i - 1].text in (";", "{", "}") and (t.kind == "ident" or t.text == "("):
            end = _call_statement(toks, i)
            if end is not None:
                add("delete", t.start, toks[end].end, "{}")
    seen: Counter = Counter()
    numbered = []
    for m in found:
        seen[m.key[:4]] += 1
        numbered.append(dataclasses.replace(m, occurrence=seen[m.key[:4]]))
    return numbered
