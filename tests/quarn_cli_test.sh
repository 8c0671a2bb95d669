#!/usr/bin/env bash
# Tests of the quarn command line: pack/extract round trips, byte-identical
# repacks, every refusal of pack, list output, and damaged payloads.
# Usage: quarn_cli_test.sh QUARN SAMPLE_DIR
set -u

quarn=$1
sample=$2
work=$(mktemp -d)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0
check() {  # check NAME COMMAND...: passes when the command succeeds
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}

# Exit code, stdout and stderr of one quarn run.
run() {
    "$quarn" "$@" >"$work/stdout" 2>"$work/stderr"
    status=$?
}

one_line_naming() {  # stderr is exactly one line and names $1
    [ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -qF -- "$1" "$work/stderr"
}

# --- A generated tree of 2000 files in nested folders -----------------------
perl -e '
    my $seed = 7;
    sub next_random { $seed = ($seed * 1103515245 + 12345) % 2147483648; return $seed >> 8; }
    for my $a (0..9) {
        for my $b (0..9) {
            my $dir = "tree/t$a/s$b";
            mkdir "tree"; mkdir "tree/t$a"; mkdir $dir;
            for my $f (0..19) {
                my $size = next_random() % 3000;
                $size = 0 if $f == 0;
                my $body = "";
                if ($f % 3 == 0) { $body .= chr(next_random() % 256) for 1..$size; }
                else { $body = substr(("level $a-$b-$f row\r\n" x (1 + $size / 16)), 0, $size); }
                open(my $out, ">", "$dir/f$f.dat") or die; binmode $out; print $out $body; close $out;
            }
        }
    }
    mkdir "tree/empty folder";
    mkdir "tree/donn\xc3\xa9es";
    open(my $out, ">", "tree/donn\xc3\xa9es/\xe2\x82\xac uro.txt") or die; print $out "x"; close $out;
'

run pack tree a.qua
check "pack of a generated tree succeeds" [ "$status" -eq 0 -a -s a.qua -a ! -s stderr ]
run extract a.qua out
check "extract of a packed tree succeeds" [ "$status" -eq 0 -a ! -s stderr ]
# Names travel as Windows-1252 and land in UTF-8 again.
check "round trip is byte for byte, names included" diff -r tree out
check "non-ASCII names arrive under their own names" cmp -s "tree/données/€ uro.txt" "out/données/€ uro.txt"
check "empty folders survive" [ -d "out/empty folder" ]

run pack tree b.qua
check "packing twice gives identical bytes" cmp -s a.qua b.qua
touch -d '2001-01-01' tree/t1/s1/f1.dat
chmod 600 tree/t2/s2/f2.dat
run pack tree c.qua
check "times and modes do not change the payload" cmp -s a.qua c.qua

for level in 0 1; do
    run pack tree/t3 --level "$level" l$level.qua
    rm -rf out
    run extract l$level.qua out
    check "round trip at level $level" diff -r tree/t3 out
done
run pack tree/t3 l9.qua
check "level 0 stores, level 9 compresses" [ "$(stat -c %s l0.qua)" -gt "$(stat -c %s l9.qua)" ]

# --- names in every script, as UTF-8 ------------------------------------------
mkdir -p scripts/データ scripts/Ελληνικά scripts/Русский
printf 'a' >"scripts/データ/説明.txt"
printf 'b' >"scripts/Ελληνικά/αρχείο.txt"
printf 'c' >"scripts/Русский/файл 𝄞.txt"
run pack scripts u.qua --encoding utf-8 --install-dir 'C:\ゲーム' --exe-name 'データ\説明.TXT'
check "a UTF-8 payload takes names of every script" [ "$status" -eq 0 -a -s u.qua ]
rm -rf out
run extract u.qua out --encoding utf-8
check "a UTF-8 payload round trips under its names" diff -r scripts out
run pack scripts w.qua
check "Windows-1252 refuses them" [ "$status" -eq 2 ] && one_line_naming "Windows-1252 lacks"
rm -rf out
run extract u.qua out
check "a name a payload's encoding leaves undefined stops extraction" [ "$status" -eq 1 ] &&
    one_line_naming "name not in the installer's code page"
printf 'd' >scripts/Ελληνικά/ΑΡΧΕΊΟ.txt
run pack scripts u2.qua --encoding utf-8
check "names that differ only in Greek case are twins" [ "$status" -eq 2 ] && one_line_naming "differ only in case"

# --- list ------------------------------------------------------------------
mkdir -p small/sub small/B
printf 'hello' >small/z.txt
printf '' >small/sub/empty
printf 'abc' >small/B/c
run pack small small.qua
run list small.qua
expected='d        - .
f        5 ./z.txt
d        - ./B
f        3 ./B/c
d        - ./sub
f        0 ./sub/empty'
check "list shows kind, size and path, files before subfolders" [ "$status" -eq 0 -a "$(cat stdout)" = "$expected" ]
run list a.qua
check "list has one line per entry" [ "$(wc -l <stdout)" -eq $((1 + 10 + 100 + 2000 + 2 + 1)) ]
check "list shows names in UTF-8" grep -q '^f        1 ./données/€ uro.txt$' stdout

# --- refusals of pack ------------------------------------------------------
refuse() {  # refuse NAME PATH_IN_MESSAGE DIR [PACK_ARGS...]
    local name=$1 named=$2 dir=$3
    shift 3
    rm -rf outdir
    mkdir outdir
    run pack "$dir" outdir/p.qua "$@"
    check "refuses $name: exit 2" [ "$status" -eq 2 ]
    check "refuses $name: one line naming the path" one_line_naming "$named"
    check "refuses $name: leaves no file" [ -z "$(ls -A outdir)" ]
}

bad_tree() {  # a fresh small tree with one bad item made by the command given
    rm -rf bad
    mkdir -p bad/ok
    echo fine >bad/ok/file
    (cd bad/ok && "$@")
}

bad_tree touch "$(printf 'line\nfeed')"
refuse "a name with LF" 'bad/ok/line\nfeed' bad
bad_tree touch "$(printf 'carriage\rreturn')"
refuse "a name with CR" 'bad/ok/carriage\rreturn' bad
bad_tree ln -s file link
refuse "a symbolic link" bad/ok/link bad
bad_tree mkfifo pipe
refuse "a fifo" bad/ok/pipe bad
bad_tree touch "$(printf 'latin1-\xe9')"
refuse "a name that is not UTF-8" bad/ok/latin1- bad
bad_tree touch "Ā-macron"
refuse "a name Windows-1252 lacks" "bad/ok/Ā-macron" bad
bad_tree touch "question?"
refuse "a name Windows does not allow" "bad/ok/question?" bad
bad_tree touch "NUL.txt"
refuse "a Windows device name" "bad/ok/NUL.txt" bad
bad_tree touch README readme
refuse "names differing only in case" bad/ok bad
bad_tree truncate -s 2147483648 huge
refuse "a file over 2147483647 bytes" bad/ok/huge bad
# "./" + 20 levels of 244 bytes and a slash + a name of 96 + LF make 4999
# bytes. Deeper than the system's path limit, so built one level at a time.
rm -rf bad
mkdir bad
level=$(printf 'd%.0s' $(seq 244))
(
    cd bad || exit 1
    for _ in $(seq 20); do mkdir "$level" && cd "$level" || exit 1; done
    touch "$(printf 'n%.0s' $(seq 96))"
)
rm -rf outdir && mkdir outdir
run pack bad outdir/p.qua
check "a line of exactly 4999 bytes is packed" [ "$status" -eq 0 -a -s outdir/p.qua ]
(cd bad && for _ in $(seq 20); do cd "$level" || exit 1; done && touch "$(printf 'n%.0s' $(seq 97))")
refuse "a line of 5000 bytes" "$(printf 'n%.0s' $(seq 97))" bad
mkdir -p unreadable/x && chmod 000 unreadable/x
if [ "$(id -u)" -ne 0 ]; then
    refuse "an unreadable folder" unreadable/x unreadable
fi
refuse "a missing folder" missing-folder missing-folder
refuse "a file as folder" small/z.txt small/z.txt
refuse "a level out of range" --level small --level 13
refuse "an unknown option" --fast small --fast
rm -rf outdir && mkdir outdir
run pack small small/inside.qua
check "refuses a payload inside the folder" [ "$status" -eq 2 -a ! -e small/inside.qua ]
run pack small nowhere/p.qua
check "refuses a payload in a missing folder" [ "$status" -eq 2 ] && one_line_naming nowhere/p.qua

# --- command line errors ---------------------------------------------------
run frobnicate
check "an unknown command exits 2 with one line" [ "$status" -eq 2 ] && one_line_naming frobnicate
run list no-such.qua
check "a missing payload exits 2 naming it" [ "$status" -eq 2 ] && one_line_naming "no-such.qua: No such file or directory"
: >empty.qua
run extract empty.qua out-empty
check "an empty payload is a bad archive" [ "$status" -eq 1 ] && one_line_naming "empty.qua: empty payload"
run --help
check "--help prints usage" [ "$status" -eq 0 ] && grep -q 'quarn pack DIR PAYLOAD' stdout

# --- damaged payloads --------------------------------------------------------
reasons='not a quarn file \([12]\)|can.t read dir name|can.t read file size|can.t read file name|extraction error|\[unrecognized archive entry!\]|uncrusher jammed|unsafe path in archive'
damaged() {  # damaged NAME PAYLOAD: extract and list fail cleanly inside a sandbox
    local name=$1 payload=$2
    rm -rf sandbox
    mkdir sandbox
    (cd sandbox && "$quarn" extract "../$payload" out >../stdout 2>../stderr)
    status=$?
    check "$name: extract exits 1" [ "$status" -eq 1 ]
    check "$name: extract gives a stop reason" grep -qE "^quarn: \.\./$payload: ($reasons)\$" stderr
    check "$name: nothing written outside the folder" [ "$(ls -A sandbox)" = out ]
    run list "$payload"
    check "$name: list exits 1 with a stop reason" [ "$status" -eq 1 ] && grep -qE "^quarn: $payload: ($reasons)\$" stderr
}

size=$(stat -c %s small.qua)
for cut in 1 2 5 $((size / 2)) $((size - 1)); do
    head -c "$cut" small.qua >cut.qua
    damaged "payload cut to $cut bytes" cut.qua
done
cp small.qua flipped.qua
last=$(od -An -tu1 -j $((size - 1)) small.qua | tr -d ' ')
printf "\\$(printf '%03o' $((last ^ 1)))" | dd of=flipped.qua bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
damaged "flipped trailer byte" flipped.qua
head -c 3000 a.qua | tail -c 2000 >garbage.qua
damaged "garbage" garbage.qua
# A zlib header asking for a preset dictionary (FDICT), dictionary id 1.
printf '\x78\xbb\x00\x00\x00\x01\x03\x00' >dict.qua
damaged "a preset dictionary" dict.qua
perl -e '$a = 1; $b = 0; for (unpack "C*", "quarn\n") { $a = ($a + $_) % 65521; $b = ($b + $a) % 65521 }
    print pack("C*", 0x78, 0x01, 0x01, 0x06, 0x00, 0xf9, 0xff), "quarn\n", pack("N", $b << 16 | $a)' >lower.qua
damaged "a lower-case header" lower.qua
check "a lower-case header is not a quarn file" grep -q 'not a quarn file (2)' stderr

# Stored blocks (level 0) keep names readable, so a path can be turned into
# one that climbs out; the extractor must refuse it before writing anything.
mkdir -p evil/aa
echo payload >evil/aa/x
run pack evil --level 0 evil.qua
perl -0777 -pi -e 's{\./aa/x}{../a/x}' evil.qua
damaged "a path climbing out of the folder" evil.qua
check "the climbing path names its stop reason" grep -q 'unsafe path in archive' stderr

# --- the sample tree packs --------------------------------------------------
run pack "$sample" sample.qua
check "the sample tree packs" [ "$status" -eq 0 ]

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
