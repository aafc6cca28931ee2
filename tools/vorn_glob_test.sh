#!/usr/bin/env bash
# Checks the command-line contract of vorn-glob that other checks rely on.
# Usage: vorn_glob_test.sh PATH-TO-vorn-glob
tool=$1
source "$(dirname "$0")/check.sh"

check every-match 0 $'0 1 2\n1\n\n' '' -- '*.py' '**/x.py' 'x.py' -- x.py a/x.py b
check no-candidates 0 '' '' -- 'a' --
check empty-set 0 $'\n' '' -- -- a
check unclosed-error 1 '' $'error parsing glob \'[abc\': unclosed character class; missing \']\'\n' -- 'a' '[abc' -- a
check unclosed-literal 0 $'1\n0\n' '' -- --allow-unclosed-class 'a' '[abc' -- '[abc' a
check line-feed 0 $'0\n' '' -- 'a?b' -- $'a\nb'
check no-separator 2 '' $'usage: vorn-glob [--allow-unclosed-class] PATTERN... -- CANDIDATE...\n' -- 'a'
finish
