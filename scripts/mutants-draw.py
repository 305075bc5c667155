#!/usr/bin/env python3
"""Draws single faults from the product's own code for scripts/mutants --random.

Every place where one of the operators below applies is a candidate: a file,
a line, the line as it stands and the line with the fault. The list depends
only on the files' text, so a seed shuffles it the same way each time; the
caller takes candidates in that order until it has as many faults as it
wants, passing over those that do not build.

Prints one candidate a line, fields separated by a unit separator (0x1f):
    file, line number, original line, faulty line, status
where status is "draw", or "equivalent" when tests/mutants-equivalent.tsv
lists the fault (the caller reports it as skipped and draws the next one).
"""

import argparse
import csv
import random
import re
import subprocess
import sys
from pathlib import Path

SOURCE_DIRS = ("src", "tools")
SOURCE_SUFFIXES = (".cpp", ".h", ".c")

# Flags that a caller could plausibly have confused with one another: each is
# replaced by every other member of its family.
FLAG_FAMILIES = [
    ["SW_HIDE", "SW_SHOWNORMAL", "SW_SHOW"],
    ["GENERIC_READ", "GENERIC_WRITE"],
    ["FILE_SHARE_READ", "FILE_SHARE_WRITE", "FILE_SHARE_DELETE"],
    ["OPEN_EXISTING", "OPEN_ALWAYS", "CREATE_ALWAYS", "CREATE_NEW"],
    ["FILE_ATTRIBUTE_NORMAL", "FILE_ATTRIBUTE_DIRECTORY", "FILE_ATTRIBUTE_READONLY"],
    ["CP_ACP", "CP_UTF8", "CP_THREAD_ACP", "CP_OEMCP"],
    ["MB_ERR_INVALID_CHARS", "MB_PRECOMPOSED"],
    ["WC_NO_BEST_FIT_CHARS", "WC_COMPOSITECHECK", "WC_ERR_INVALID_CHARS"],
    ["SEE_MASK_NOCLOSEPROCESS", "SEE_MASK_FLAG_NO_UI", "SEE_MASK_NOASYNC"],
    ["WAIT_OBJECT_0", "WAIT_TIMEOUT", "WAIT_ABANDONED", "WAIT_FAILED"],
    ["STARTF_USESHOWWINDOW", "STARTF_USESTDHANDLES"],
    ["CREATE_NO_WINDOW", "DETACHED_PROCESS", "CREATE_NEW_CONSOLE"],
    ["EVENT_MODIFY_STATE", "SYNCHRONIZE", "EVENT_ALL_ACCESS"],
    ["CSIDL_APPDATA", "CSIDL_LOCAL_APPDATA", "CSIDL_COMMON_APPDATA"],
    ["PAGE_NOACCESS", "PAGE_READONLY", "PAGE_READWRITE", "PAGE_EXECUTE_READWRITE"],
    ["MEM_COMMIT", "MEM_RESERVE"],
    ["EXCEPTION_EXECUTE_HANDLER", "EXCEPTION_CONTINUE_SEARCH", "EXCEPTION_CONTINUE_EXECUTION"],
    ["LOAD_LIBRARY_SEARCH_SYSTEM32", "LOAD_WITH_ALTERED_SEARCH_PATH",
     "LOAD_LIBRARY_SEARCH_DEFAULT_DIRS"],
    ["CSTR_EQUAL", "CSTR_LESS_THAN", "CSTR_GREATER_THAN"],
    ["WTD_STATEACTION_VERIFY", "WTD_STATEACTION_CLOSE", "WTD_STATEACTION_IGNORE"],
    ["WTD_REVOKE_NONE", "WTD_REVOKE_WHOLECHAIN"],
    ["WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT", "WTD_REVOCATION_CHECK_NONE",
     "WTD_REVOCATION_CHECK_CHAIN"],
    ["CERT_NAME_SIMPLE_DISPLAY_TYPE", "CERT_NAME_FRIENDLY_DISPLAY_TYPE"],
    ["CRYPT_STRING_BASE64", "CRYPT_STRING_BASE64HEADER", "CRYPT_STRING_BASE64_ANY"],
    ["E_INVALIDARG", "E_OUTOFMEMORY", "E_FAIL"],
    ["ERROR_ALREADY_EXISTS", "ERROR_FILE_EXISTS"],
    ["ERROR_INSUFFICIENT_BUFFER", "ERROR_MORE_DATA"],
    ["PROCESSOR_ARCHITECTURE_AMD64", "PROCESSOR_ARCHITECTURE_ARM64",
     "PROCESSOR_ARCHITECTURE_INTEL"],
    ["SEM_NOGPFAULTERRORBOX", "SEM_FAILCRITICALERRORS"],
    ["DLL_PROCESS_ATTACH", "DLL_THREAD_ATTACH", "DLL_THREAD_DETACH", "DLL_PROCESS_DETACH"],
    ["FILE_BEGIN", "FILE_CURRENT", "FILE_END"],
    ["SEEK_SET", "SEEK_CUR", "SEEK_END"],
    ["KEY_READ", "KEY_WRITE"],
    ["KEY_WOW64_64KEY", "KEY_WOW64_32KEY"],
    ["HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"],
]
FLAG_ALTERNATIVES = {
    flag: [other for other in family if other != flag]
    for family in FLAG_FAMILIES for flag in family
}

SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
         "&&": "||", "||": "&&", "true": "false", "false": "true",
         "TRUE": "FALSE", "FALSE": "TRUE"}
# clang-format sets binary operators apart with blanks, which tells a
# comparison from a template's angle brackets, a shift or an arrow.
BINARY_OPERATOR = re.compile(r"(?<!\S)(<=|>=|==|!=|<|>|&&|\|\|)(?!\S)")
BOOLEAN = re.compile(r"\b(true|false|TRUE|FALSE)\b")
INTEGER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|[1-9][0-9]*|0)([uUlL]*)(?![\w.])")
IDENTIFIER = re.compile(r"\b[A-Z][A-Z0-9_]*\b")
CALL_STATEMENT = re.compile(
    r"(::)?[A-Za-z_]\w*(\s*(::|\.|->)\s*~?[A-Za-z_]\w*)*\s*\(.*\)\s*;")
RETURN = re.compile(r"\breturn\s+([^;]+);")
KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof", "static_assert", "delete",
            "throw", "case", "do", "else", "new", "alignof", "decltype", "catch"}
CONTROL = re.compile(r"^(if|for|while|switch|else|do|try|catch|case|default)\b")

BOOL_TYPES = {"bool": ["true", "false"], "BOOL": ["TRUE", "FALSE"]}
POINTER_TYPES = {"HANDLE", "HMODULE", "HINSTANCE", "HLOCAL", "HKEY", "FARPROC", "PVOID",
                 "LPVOID", "LPWSTR", "LPCWSTR", "LPSTR", "LPCSTR", "PWSTR", "PCWSTR",
                 "PCCERT_CONTEXT", "PRUNTIME_FUNCTION", "std::nullptr_t"}
INTEGER_TYPES = {"int", "unsigned", "unsigned int", "long", "unsigned long", "short",
                 "unsigned short", "size_t", "std::size_t", "ptrdiff_t", "std::ptrdiff_t",
                 "int8_t", "int16_t", "int32_t", "int64_t", "uint8_t", "uint16_t",
                 "uint32_t", "uint64_t", "DWORD", "DWORD64", "WORD", "BYTE", "UINT",
                 "ULONG", "LONG", "LONG64", "ULONG64", "SIZE_T", "ULONG_PTR", "LONG_PTR",
                 "INT_PTR", "UINT_PTR", "DWORD_PTR", "HRESULT", "NTSTATUS", "LRESULT",
                 "INT", "USHORT", "UCHAR"}
SPECIFIERS = re.compile(
    r"\b(static|inline|constexpr|virtual|explicit|extern|friend|const|volatile|WINAPI|"
    r"CALLBACK|NTAPI|APIENTRY|__stdcall|__cdecl|__fastcall|noexcept)\b")
ATTRIBUTES = re.compile(r"__attribute__\s*\(\(.*?\)\)|\[\[.*?\]\]|__declspec\s*\(.*?\)")


def mask(text):
    """The text with comments blanked and the insides of string and character
    literals blanked (their quotes kept), so that positions still match."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for j in range(i, end):
                if text[j] != "\n":
                    out[j] = " "
            i = end
        elif c == '"' and re.search(r"\bR$|(?:u8|[uUL])R$", text[max(0, i - 3):i]):
            close = text.index("(", i)
            delimiter = ")" + text[i + 1:close] + '"'
            end = text.find(delimiter, close)
            end = n if end < 0 else end + len(delimiter)
            for j in range(i + 1, end - 1):
                if text[j] != "\n":
                    out[j] = " "
            i = end
        elif c == "'" and re.search(r"\b[0-9][\w']*$", text[max(0, i - 40):i]):
            i += 1  # a digit separator
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                if text[j] == "\\":
                    out[j] = " "
                    j += 1
                out[j] = " "
                j += 1
            i = j + 1
        else:
            i += 1
    return "".join(out)


def excluded_lines(masked_lines):
    """Preprocessor lines (with their continuations) and static assertions."""
    excluded = set()
    continued = False
    for number, line in enumerate(masked_lines):
        if continued or line.lstrip().startswith("#"):
            excluded.add(number)
            continued = line.rstrip().endswith("\\")
    asserting = False
    for number, line in enumerate(masked_lines):
        start = line.find("static_assert")
        asserting = asserting or start >= 0
        if asserting:
            excluded.add(number)
            asserting = ";" not in line[max(start, 0):]
    return excluded


def classify_block(header):
    """What a '{' opens, from the text before it: ('function', type),
    ('lambda', type or None), ('control', None) or ('other', None)."""
    header = ATTRIBUTES.sub(" ", header)
    header = re.sub(r"^\s*(public|private|protected)\s*:(?!:)", "", header)
    header = re.sub(r"^\s*template\s*<[^{;]*?>\s*(?=[A-Za-z_])", "", header)
    header = " ".join(header.split())
    if not header or CONTROL.match(header):
        return ("control", None)
    lambda_ = re.search(r"\[[^\[\]]*\]\s*(\([^()]*(\([^()]*\)[^()]*)*\))?\s*(mutable)?\s*"
                        r"(noexcept)?\s*(->\s*(.+))?$", header)
    if lambda_ and (lambda_.group(1) or lambda_.group(5) or lambda_.start() == 0 or
                    header[lambda_.start() - 1] in "(,= "):
        return ("lambda", lambda_.group(6))
    trailing = re.search(r"\)\s*(const)?\s*(noexcept)?\s*(override|final)?\s*->\s*(.+)$", header)
    if trailing:
        return ("function", trailing.group(4))
    if not re.search(r"\)\s*(const)?\s*(noexcept)?\s*(override|final)?\s*$", header):
        return ("other", None)
    if "=" in header.split("(")[0] or re.match(r"(class|struct|union|enum|namespace)\b", header):
        return ("other", None)
    if "operator" in header:
        before = header[:header.index("operator")]
        before = re.sub(r"[\w:]*::$", "", before.rstrip())
    else:
        name = re.search(r"(~?[A-Za-z_][\w]*(::~?[A-Za-z_]\w*)*)\s*\(", header)
        if not name:
            return ("other", None)
        before = header[:name.start()]
    kind = " ".join(SPECIFIERS.sub(" ", before).split())
    return ("function", kind)


def return_values(kind):
    if kind is None:
        return []
    kind = " ".join(SPECIFIERS.sub(" ", kind).split())
    if kind in BOOL_TYPES:
        return BOOL_TYPES[kind]
    if kind.endswith("*") or kind in POINTER_TYPES:
        return ["nullptr"]
    if kind in INTEGER_TYPES:
        return ["0", "1"]
    return []


def function_types(masked):
    """The return type of the function or lambda around each 'return', by
    its offset in the text; None where it cannot be told."""
    answers = {}
    stack = []
    last_break = 0
    for match in re.finditer(r"[{};]|\breturn\b", masked):
        token = match.group(0)
        if token == "{":
            stack.append(classify_block(masked[last_break:match.start()]))
            last_break = match.end()
        elif token == "}":
            if stack:
                stack.pop()
            last_break = match.end()
        elif token == ";":
            last_break = match.end()
        else:
            kind = None
            for block, value in reversed(stack):
                if block in ("function", "lambda"):
                    kind = value
                    break
            answers[match.start()] = kind
    return answers


def format_integer(text, value):
    if text[:2] in ("0x", "0X"):
        digits = format(value, "X" if any(c in "ABCDEF" for c in text[2:]) else "x")
        return text[:2] + digits.rjust(len(text) - 2, "0")
    return str(value)


def candidates_in_file(path, relative):
    text = path.read_text(encoding="utf-8", errors="surrogateescape")
    masked = mask(text)
    lines = text.split("\n")
    masked_lines = masked.split("\n")
    excluded = excluded_lines(masked_lines)
    # Macro bodies hold braces and semicolons of their own.
    returns = function_types("\n".join(
        " " * len(code) if number in excluded else code
        for number, code in enumerate(masked_lines)))
    line_starts = [0]
    for line in lines:
        line_starts.append(line_starts[-1] + len(line) + 1)

    found = []

    def add(number, start, end, replacement):
        original = lines[number]
        found.append((relative, number + 1, original,
                      original[:start] + replacement + original[end:]))

    previous_code = ""
    for number, (line, code) in enumerate(zip(lines, masked_lines)):
        if number in excluded:
            continue
        for match in BINARY_OPERATOR.finditer(code):
            add(number, match.start(), match.end(), SWAPS[match.group(1)])
        for match in BOOLEAN.finditer(code):
            add(number, match.start(), match.end(), SWAPS[match.group(1)])
        for match in INTEGER.finditer(code):
            digits = match.group(1)
            value = int(digits, 16) if digits[:2] in ("0x", "0X") else int(digits)
            add(number, match.start(1), match.end(1), format_integer(digits, value + 1))
            if value > 0:
                add(number, match.start(1), match.end(1), format_integer(digits, value - 1))
        for match in IDENTIFIER.finditer(code):
            for other in FLAG_ALTERNATIVES.get(match.group(0), []):
                add(number, match.start(), match.end(), other)

        stripped = code.strip()
        if CALL_STATEMENT.fullmatch(stripped) and stripped.split("(")[0].strip() not in KEYWORDS:
            # One call, not two joined by an operator: the first parenthesis
            # closes at the last one.
            depth = 0
            close = -1
            for i, c in enumerate(stripped):
                if c == "(":
                    depth += 1
                elif c == ")":
                    depth -= 1
                    if depth == 0:
                        close = i
                        break
            if close == stripped.rindex(")"):
                before = previous_code
                indent = line[:len(line) - len(line.lstrip())]
                if before == "" or before[-1] in ";{}:":
                    add(number, 0, len(line), "")
                elif (before.endswith(")") and CONTROL.match(before)) or \
                        re.search(r"\belse$", before):
                    # The body of a braceless branch: an empty block keeps
                    # the branch's shape.
                    add(number, 0, len(line), indent + "{}")

        for match in RETURN.finditer(code):
            value = match.group(1).strip()
            if value.count("(") != value.count(")") or value.count("{") != value.count("}"):
                continue
            kind = returns.get(line_starts[number] + match.start())
            for replacement in return_values(kind):
                if replacement != value:
                    add(number, match.start(1), match.end(1), replacement)

        if stripped:
            previous_code = stripped
    return found


def candidates(root):
    listed = subprocess.run(["git", "-C", str(root), "ls-files", "--", *SOURCE_DIRS],
                            check=True, capture_output=True, text=True).stdout.split()
    files = sorted(f for f in listed if f.endswith(SOURCE_SUFFIXES))
    seen = set()
    result = []
    for relative in files:
        for candidate in candidates_in_file(root / relative, relative):
            # Two operators can make the same line (a returned literal, say).
            key = (candidate[0], candidate[1], candidate[3])
            if candidate[2] != candidate[3] and key not in seen:
                seen.add(key)
                result.append(candidate)
    return result


def equivalents(path):
    rows = set()
    if not path.exists():
        return rows
    with open(path, newline="", encoding="utf-8") as table:
        for row in csv.reader(table, delimiter="\t", quoting=csv.QUOTE_NONE):
            if not row or row[0].startswith("#") or row[0] == "file":
                continue
            row += [""] * (3 - len(row))
            rows.add((row[0].strip(), row[1].strip(), row[2].strip()))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    args = parser.parse_args()

    found = candidates(args.root)
    skip = equivalents(args.root / "tests/mutants-equivalent.tsv")
    random.Random(args.seed).shuffle(found)
    out = sys.stdout
    out.reconfigure(errors="surrogateescape")
    for file, number, original, faulty in found:
        status = "equivalent" if (file, original.strip(), faulty.strip()) in skip else "draw"
        out.write("\x1f".join([file, str(number), original, faulty, status]) + "\n")


if __name__ == "__main__":
    main()
