#!/usr/bin/env python3
"""Reports files over a line limit and functions over a line limit in the given folders.

A function is a brace block at namespace or class level whose header (the text since the
previous ';', '{' or '}') holds a parameter list and is not a class, struct, enum, union or
namespace. Lambdas and nested blocks count towards the function they are in. Comments and
string literals are blanked out first, so braces in them do not count.

Usage: tools/size-check.py [--file-limit N] [--function-limit N] [--skip-missing] DIR...
Exit status 1 when anything is over a limit; 2 when the check could pass without checking
anything: a folder that does not exist (unless --skip-missing, for folders still to come), no
source file found at all, or a function counter that no longer sees an over-long function in
its own sample.
"""
import argparse
import pathlib
import re
import sys


def blank(text):
    """Comments, strings and character literals replaced by spaces (newlines kept)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i))
            i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c in '"\'':
            if c == '"' and i > 0 and text[i - 1] == 'R':  # raw string R"(...)"
                k = text.find('(', i)
                delim = ')' + text[i + 1:k] + '"'
                j = text.find(delim, k)
                j = n if j < 0 else j + len(delim)
            else:
                j = i + 1
                while j < n and text[j] != c:
                    j += 2 if text[j] == '\\' else 1
                j += 1
            out.append(c + re.sub(r'[^\n]', ' ', text[i + 1:j - 1]) + c)
            i = j
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def functions(path):
    text = blank(path.read_text())
    line_of = lambda pos: text.count('\n', 0, pos) + 1
    results = []
    stack = []  # for each open brace: (kind, start line, name)
    header_start = 0
    for pos, c in enumerate(text):
        if c in ';':
            header_start = pos + 1
        elif c == '{':
            header = text[header_start:pos]
            enclosing = [k for k, _, _ in stack]
            inside_function = 'function' in enclosing
            kind = 'block'
            if not inside_function:
                h = ' '.join(header.split())
                if re.search(r'\b(class|struct|enum|union|namespace)\b', h) and '(' not in h.split('{')[0].split(':')[0]:
                    kind = 'scope'
                elif re.search(r'\bnamespace\b', h) or h.startswith('extern'):
                    kind = 'scope'
                elif '(' in h and not h.rstrip().endswith('='):
                    kind = 'function'
                else:
                    kind = 'scope'
            first = len(header) - len(header.lstrip())
            start = line_of(header_start + first)
            name = ' '.join(header.split())[:90]
            stack.append((kind, start, name))
            header_start = pos + 1
        elif c == '}':
            if stack:
                kind, start, name = stack.pop()
                if kind == 'function':
                    results.append((line_of(pos) - start + 1, start, name))
            header_start = pos + 1
    return results


def counter_works(limit):
    """True when functions() still finds a function one line over `limit` in a sample file."""
    import tempfile
    body = ''.join(f'    x += {i};\n' for i in range(limit - 2))
    sample = ('namespace n {\nstruct S {\n    int f() const { return 1; }\n};\n'
              f'int over(int x) {{\n{body}    return x;\n}}\n}}\n')
    with tempfile.TemporaryDirectory() as d:
        path = pathlib.Path(d) / 'sample.cpp'
        path.write_text(sample)
        found = {name.split('(')[0]: length for length, _, name in functions(path)}
    return found.get('int over') == limit + 1 and found.get('int f') == 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--file-limit', type=int, default=450)
    parser.add_argument('--function-limit', type=int, default=70)
    parser.add_argument('--skip-missing', action='store_true',
                        help='pass over folders that do not exist instead of failing')
    parser.add_argument('dirs', nargs='+')
    args = parser.parse_args()
    if not counter_works(args.function_limit):
        print('size-check: the function counter no longer finds an over-long function')
        return 2
    over = 0
    files = 0
    largest_file = (0, '')
    largest_function = (0, '')
    for d in args.dirs:
        if not pathlib.Path(d).is_dir():
            if args.skip_missing:
                print(f'skipped {d}: no such folder')
                continue
            print(f'size-check: no such folder: {d}')
            return 2
        for path in sorted(pathlib.Path(d).rglob('*')):
            if path.suffix not in ('.cpp', '.h'):
                continue
            files += 1
            lines = path.read_text().count('\n')
            largest_file = max(largest_file, (lines, str(path)))
            if lines > args.file_limit:
                print(f'file over {args.file_limit} lines: {path} ({lines})')
                over += 1
            for length, start, name in functions(path):
                largest_function = max(largest_function, (length, f'{path}:{start} {name}'))
                if length > args.function_limit:
                    print(f'function over {args.function_limit} lines: {path}:{start} ({length}) {name}')
                    over += 1
    print(f'{files} files checked; longest file {largest_file[0]} lines ({largest_file[1]}); '
          f'longest function {largest_function[0]} lines ({largest_function[1]})')
    print('over a limit:', over)
    if files == 0:
        print('size-check: no source file found: nothing was checked')
        return 2
    return 1 if over else 0


if __name__ == '__main__':
    sys.exit(main())
