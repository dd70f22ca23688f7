#!/usr/bin/env python3
"""Checks that what builds against the stand-in here builds against the host's own SDK.

1. The plug-in's sources (src/motion_builder/src) include only <fbsdk/fbsdk.h>, their own headers
   (and the generated message header), the C++ standard library, Protocol Buffers, zlib and
   libdeflate (the link inflates payloads itself with libdeflate, to bound what they inflate to;
   both builds link both libraries, zlib for Protocol Buffers' gzip streams).
2. The stand-in's SDK headers (host/include) declare only names of the real SDK, listed in
   host/sdk_names.txt, apart from the stand-in's private friends in namespace fbsdk_internal.
3. The plug-in uses no name that the stand-in declares beyond that list, and nothing of the
   control API or the stand-in's internals.
4. The stand-in's internals (host/src) never include the control API: it reads and sets them,
   not the other way round.
5. Of the plug-in's headers, the stand-in includes only thread_annotations.h (the project's lock
   vocabulary), and only in its internals and control API: the SDK mirror includes none.
Exits 1 and names each offence otherwise.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PLUGIN = ROOT / "src" / "motion_builder" / "src"
HEADERS = [ROOT / "host" / "include" / "fbsdk", ROOT / "host" / "include" / "fbcontrols"]
NAMES = ROOT / "host" / "sdk_names.txt"
INTERNALS = ROOT / "host" / "src"
STAND_IN = ROOT / "host"
LOCK_HEADER = "thread_annotations.h"

STANDARD = set("""algorithm any array atomic bitset cassert cctype cerrno cfloat charconv chrono cinttypes
climits clocale cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef cstdint cstdio
cstdlib cstring ctime cuchar cwchar cwctype deque exception execution filesystem forward_list fstream
functional future initializer_list iomanip ios iosfwd iostream istream iterator limits list locale map
memory memory_resource mutex new numeric optional ostream queue random ratio regex scoped_allocator set
shared_mutex sstream stack stdexcept streambuf string string_view system_error thread tuple type_traits
typeindex typeinfo unordered_map unordered_set utility valarray variant vector""".split())
GENERATED = {"IVRA_PLUG_MESSAGE.pb.h"}
# The stand-in's own, never for a plug-in: its private friends, its control API, its build macro.
FORBIDDEN = {"fbsdk_internal", "fbsdk_control", "HostAccess", "UiAccess", "PropertyValueLock",
             "KMQ_BUILDING_FBSDK"}
INTERNAL = {"fbsdk_internal", "HostAccess", "UiAccess", "PropertyValueLock", "KMQ_BUILDING_FBSDK"}
# The Windows definitions the SDK's headers set before <windows.h>, as the host's do.
WINDOWS = {"NOMINMAX", "WIN32_LEAN_AND_MEAN", "TRUE"}
KEYWORDS = set("""alignas alignof and asm auto bool break case catch char class const constexpr const_cast
continue decltype default delete do double dynamic_cast else enum explicit export extern false float for
friend goto if inline int long mutable namespace new noexcept not nullptr operator or private protected
public register reinterpret_cast return short signed sizeof static static_assert static_cast struct
switch template this thread_local throw true try typedef typeid typename union unsigned using virtual
void volatile while defined include ifndef ifdef endif define elif undef pragma""".split())


def strip(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r'"(\\.|[^"\\])*"', '""', text)


def declared(text):
    """Names a header declares: types, enumerators, functions, members, macros."""
    code = strip(text)
    names = set(re.findall(r"#\s*define\s+([A-Za-z_]\w*)", code))
    names |= set(re.findall(r"\b(?:class|struct|enum|union|namespace)\s+(?:FBSDK_DLL\s+)?([A-Za-z_]\w*)", code))
    names |= set(re.findall(r"\btypedef\b[^;]*?\b([A-Za-z_]\w*)\s*(?:\)\s*\([^;]*)?;", code))
    names |= set(re.findall(r"\b([A-Za-z_]\w*)\s*\(", code))
    for body in re.findall(r"\benum\b[^{;]*\{([^}]*)\}", code):
        names |= set(re.findall(r"(?:^|,)\s*([A-Za-z_]\w*)", body))
    # Members: the last identifier before ';' or '=' in a declaration.
    names |= set(re.findall(r"\b([A-Za-z_]\w*)\s*(?:\[[^\]]*\])?\s*(?:;|=[^=])", code))
    return {n for n in names if n not in KEYWORDS and not n.startswith("__") and len(n) > 1}


def main():
    problems = []
    own = {p.name for p in PLUGIN.iterdir() if p.suffix in (".h", ".hpp")}
    sources = sorted(p for p in PLUGIN.iterdir() if p.suffix in (".cpp", ".h"))
    for source in sources:
        for number, line in enumerate(source.read_text().splitlines(), 1):
            match = re.match(r'\s*#\s*include\s*([<"])([^>"]+)[>"]', line)
            if not match:
                continue
            kind, name = match.groups()
            ok = (name == "fbsdk/fbsdk.h" and kind == "<") or \
                 (kind == '"' and (name in own or name in GENERATED)) or \
                 (kind == "<" and (name in STANDARD or name.startswith("google/protobuf/") or
                                   name in ("zlib.h", "libdeflate.h")))
            if not ok:
                close = ">" if kind == "<" else '"'
                problems.append(f"{source.relative_to(ROOT)}:{number}: includes {kind}{name}{close}")

    sdk_names = {line.strip() for line in NAMES.read_text().splitlines()
                 if line.strip() and not line.startswith("#")}
    stand_in = set()
    for folder in HEADERS:
        for header in sorted(folder.glob("*.h")):
            names = declared(header.read_text())
            stand_in |= names
            for name in sorted(names - sdk_names - INTERNAL - WINDOWS):
                if re.match(r"^(FBSDK|FBCONTROLS)_\w+_H_$", name):
                    continue  # Include guards.
                problems.append(f"{header.relative_to(ROOT)}: declares {name}, which the host's SDK "
                                f"does not (host/sdk_names.txt)")

    for source in sources:
        used = set(re.findall(r"\b[A-Za-z_]\w*\b", strip(source.read_text())))
        for name in sorted(used & FORBIDDEN):
            problems.append(f"{source.relative_to(ROOT)}: uses {name}, which only the stand-in has")
        for name in sorted((used & stand_in) - sdk_names - FORBIDDEN):
            problems.append(f"{source.relative_to(ROOT)}: uses {name}, declared by the stand-in "
                            f"but not by the host's SDK")

    for source in sorted(INTERNALS.glob("*.[ch]*")):
        for number, line in enumerate(source.read_text().splitlines(), 1):
            if re.match(r"\s*#\s*include\s*[<\"]fbsdk_control/", line):
                problems.append(f"{source.relative_to(ROOT)}:{number}: includes the control API")

    for source in sorted(STAND_IN.rglob("*.[ch]*")):
        mirror = any(folder in source.parents for folder in HEADERS)
        for number, line in enumerate(source.read_text().splitlines(), 1):
            match = re.match(r'\s*#\s*include\s*[<"]([^>"]+)[>"]', line)
            if match and match.group(1) in own and (mirror or match.group(1) != LOCK_HEADER):
                problems.append(f"{source.relative_to(ROOT)}:{number}: includes the plug-in's "
                                f"{match.group(1)}")

    for problem in problems:
        print(problem)
    print(f"check-sdk-mirror: {len(sources)} plug-in files, {len(stand_in)} stand-in names, "
          f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
