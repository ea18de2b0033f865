#!/bin/sh
# The generators, run as the build runs them: surfacegen writes the committed
# IDL and reference byte for byte, a resource per class, and refuses prose that
# does not match the table; tlbfinish writes the built library and refuses a
# cut one. A refused run leaves no output.
#
#   generators.sh SURFACEGEN TLBFINISH SOURCE_DIR WIDL_TLB BUILT_TLB
set -u
gen=$1 fin=$2 src=$3 widl=$4 tlb=$5
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT
failed=0
check() { eval "$2" || { echo "FAIL: $1"; failed=1; }; }
"$gen" "$dir/a.idl"
check "component/velqosch.idl is out of date: build velqosch_idl_update" 'cmp -s "$dir/a.idl" "$src/component/velqosch.idl"'
"$gen" --doc "$src/docs/object-model.prose.md" "$dir/a.md"
check "docs/object-model.md is out of date: build velqosch_doc_update" 'cmp -s "$dir/a.md" "$src/docs/object-model.md"'
"$gen" --rc "$dir/a.rc"
check "a resource per class" '[ "$(grep -cE "^_IID_(SCHEDULER|TASKS|TASK|TRIGGERS|TRIGGER) RCDATA$" "$dir/a.rc")" = 5 ]'
sed 's/^## Scheduler\.Computer$/## Scheduler.Nothing/' "$src/docs/object-model.prose.md" >"$dir/bad.md"
check "prose without a member's section is refused" \
    '! "$gen" --doc "$dir/bad.md" "$dir/b.md" 2>"$dir/err" && grep -q "Scheduler.Computer" "$dir/err"'
check "a refused run leaves nothing" '[ ! -e "$dir/b.md" ] && [ ! -e "$dir/b.md.tmp" ]'
check "a wrong command line is refused" '"$gen" 2>/dev/null; [ $? = 2 ]'
"$fin" "$widl" "$dir/a.tlb"
check "the finished library is the built one" 'cmp -s "$dir/a.tlb" "$tlb"'
head -c 2000 "$widl" >"$dir/cut.tlb"
check "a cut library is refused, nothing written" \
    '! "$fin" "$dir/cut.tlb" "$dir/c.tlb" 2>/dev/null && [ ! -e "$dir/c.tlb" ] && [ ! -e "$dir/c.tlb.tmp" ]'
exit $failed
