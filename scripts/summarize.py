#!/usr/bin/env python3
"""Sums the test results of several build folders into one line.

Each ctest test that is a GoogleTest executable counts its test cases (from the
XML report it wrote); any other ctest test (a fuzz run, a script) counts as one.
A test executable that crashed or timed out after its cases passed counts one
extra failure, so no failure is hidden.
Prints the failures, then "N passed, N failed"; exits 1 on any failure.
"""
import os
import sys
import xml.etree.ElementTree as ET


def gtest_counts(path):
    root = ET.parse(path).getroot()
    passed = failed = 0
    names = []
    for case in root.iter('testcase'):
        if case.get('status') == 'notrun' or case.get('result') == 'skipped' or case.find('skipped') is not None:
            continue
        if case.find('failure') is not None or case.find('error') is not None:
            failed += 1
            names.append(f"{case.get('classname')}.{case.get('name')}")
        else:
            passed += 1
    return passed, failed, names


def main(dirs):
    passed = failed = 0
    failures = []
    for d in dirs:
        results = os.path.join(d, 'test-results')
        ctest_xml = os.path.join(results, 'ctest.xml')
        if not os.path.exists(ctest_xml):
            failures.append(f'{d}: no test results')
            failed += 1
            continue
        for case in ET.parse(ctest_xml).getroot().iter('testcase'):
            name = case.get('name')
            ok = case.get('status') in (None, 'run') and case.find('failure') is None and case.find('error') is None
            if case.find('skipped') is not None:
                continue
            report = os.path.join(results, name + '.xml')
            if os.path.exists(report):
                p, f, names = gtest_counts(report)
                passed += p
                failed += f
                failures += [f'{name}: {n}' for n in names]
                if not ok and f == 0:
                    failed += 1
                    failures.append(f'{name}: the executable failed (crash or time-out)')
            elif ok:
                passed += 1
            else:
                failed += 1
                failures.append(name)
    for f in failures:
        print(f'FAILED: {f}')
    print(f'{passed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
