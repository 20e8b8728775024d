#!/bin/bash
# Compiles sepolicy/ into Android 10's platform policy the way its Android.mk does, for user and
# userdebug, and asks the compiled policy for every access the daemon and its clients need.
#
#   1. control: the platform alone through the same steps (a harness that fails there proves
#      nothing about the device policy);
#   2. m4 to policy.conf, checkpolicy -M -c 30 with every neverallow, the platform's own
#      sepolicy-analyze (neverallow as the build and CTS run it; no permissive daemon), and the
#      CIL path (checkpolicy -C, technical_debt.cil, secilc);
#   3. file_contexts as the build sorts them, checked with setfiles -c;
#   4. scripts/sepolicy_access.py: each access with realistic contexts (audit2why, sesearch);
#   5. a canary, a rule the platform forbids, must make the compile fail.
#
# The platform policy is ../shared/android10-sepolicy beside the repository, or
# $TONVALE_PLATFORM_SEPOLICY; without it the stage is skipped and says why.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PLATFORM=${TONVALE_PLATFORM_SEPOLICY:-$ROOT/../shared/android10-sepolicy}
DEVICE=$ROOT/sepolicy
OUT=$ROOT/build/sepolicy

if [ ! -f "$PLATFORM/public/te_macros" ] || [ ! -f "$PLATFORM/private/file_contexts" ]; then
    echo "sepolicy: skipped: no Android 10 platform policy (system/sepolicy) at $PLATFORM;" \
        "set TONVALE_PLATFORM_SEPOLICY to one to check sepolicy/ against it"
    exit 0
fi
PLATFORM=$(cd "$PLATFORM" && pwd)

./scripts/install-deps.sh m4 checkpolicy secilc setools policycoreutils python3-selinux \
    libsepol-dev
# Debian's python3 (python3-selinux, python3-setools), whatever python3 comes first in PATH.
PYTHON=/usr/bin/python3

rm -rf "$OUT"
mkdir -p "$OUT/tools"

# The platform's host tools, built against Debian's libsepol.
LIBSEPOL=$(dpkg -L libsepol-dev | grep '/libsepol\.a$' | head -1)
analyze_src=$PLATFORM/tools/sepolicy-analyze
gcc -O1 -w -o "$OUT/tools/sepolicy-analyze" "$analyze_src"/*.c "$LIBSEPOL"
gcc -O1 -w -o "$OUT/tools/fc_sort" "$PLATFORM/tools/fc_sort/fc_sort.c"

# Android.mk's sepolicy_build_files, in its order: kind by kind, each directory's matches sorted.
KINDS="security_classes initial_sids access_vectors global_macros neverallow_macros mls_macros
mls_decl mls policy_capabilities te_macros attributes ioctl_defines ioctl_macros *.te roles_decl
roles users initial_sid_contexts fs_use genfs_contexts port_contexts"

policy_files() {  # policy_files <dir>...
    local kind dir
    for kind in $KINDS; do
        for dir in "$@"; do
            # shellcheck disable=SC2086
            for f in "$dir"/$kind; do
                if [ -e "$f" ]; then echo "$f"; fi
            done | LC_ALL=C sort
        done
    done
}

m4_defs() {  # m4_defs <variant> <exclude build tests: true|false>
    echo "-D mls_num_sens=1 -D mls_num_cats=1024 -D target_build_variant=$1
        -D target_with_dexpreopt=false -D target_arch=arm -D target_with_asan=false
        -D target_with_native_coverage=false -D target_full_treble=true
        -D target_compatible_property=true -D target_exclude_build_test=$2
        -D target_flatten_apex=true"
}

conf() {  # conf <out.conf> <variant> <exclude build tests> <dir>...
    local out=$1 variant=$2 exclude=$3
    shift 3
    # shellcheck disable=SC2046
    m4 --fatal-warnings $(m4_defs "$variant" "$exclude") -s $(policy_files "$@") >"$out"
}

# compile <name> <variant> <private dir or ""> : every check the build makes of one policy.
compile() {
    local name=$1 variant=$2 private=$3 dir=$OUT/$1-$2
    mkdir -p "$dir"
    local plat=("$PLATFORM/public" "$PLATFORM/private")
    [ -n "$private" ] && plat+=("$private")
    # The whole device policy (vendor included), neverallows checked, as sepolicy_neverallows.
    conf "$dir/policy.conf" "$variant" false "${plat[@]}" "$PLATFORM/vendor"
    checkpolicy -M -c 30 -o "$dir/sepolicy" "$dir/policy.conf" >"$dir/checkpolicy.log" 2>&1 ||
        { cat "$dir/checkpolicy.log"; return 1; }
    conf "$dir/policy_2.conf" "$variant" true "${plat[@]}" "$PLATFORM/vendor"
    "$OUT/tools/sepolicy-analyze" "$dir/sepolicy" neverallow -w -f "$dir/policy_2.conf"
    # No domain of this tree is permissive (su is, on userdebug).
    "$OUT/tools/sepolicy-analyze" "$dir/sepolicy" permissive >"$dir/permissive"
    if grep -qx "tonvale" "$dir/permissive"; then
        echo "FAILED   $name ($variant): the daemon's domain is permissive"
        return 1
    fi
    # plat_sepolicy.cil: the platform part through the CIL compiler.
    conf "$dir/plat_policy.conf" "$variant" false "${plat[@]}"
    checkpolicy -M -C -c 30 -o "$dir/plat_sepolicy.cil" "$dir/plat_policy.conf"
    cat "$PLATFORM/private/technical_debt.cil" >>"$dir/plat_sepolicy.cil"
    secilc -m -M true -G -c 30 "$dir/plat_sepolicy.cil" -o "$dir/plat_sepolicy" -f /dev/null
    # plat_file_contexts: m4, then sorted as the build sorts them.
    # shellcheck disable=SC2046
    m4 --fatal-warnings $(m4_defs "$variant" false) -s "$PLATFORM/private/file_contexts" \
        ${private:+"$private/file_contexts"} >"$dir/file_contexts.tmp"
    "$OUT/tools/fc_sort" "$dir/file_contexts.tmp" "$dir/file_contexts"
    setfiles -c "$dir/sepolicy" "$dir/file_contexts"
    echo "ok       $name ($variant): compiles with every neverallow (checkpolicy," \
        "sepolicy-analyze, secilc); file_contexts valid"
}

echo "--- control: the platform alone"
compile platform user ""
compile platform userdebug ""

for variant in user userdebug; do
    echo "--- sepolicy/ in the platform ($variant)"
    compile device "$variant" "$DEVICE"
    "$PYTHON" scripts/sepolicy_access.py "$OUT/device-$variant/sepolicy" \
        "$OUT/device-$variant/file_contexts" "$DEVICE/service_contexts" "$variant"
done

echo "--- canary: a rule the platform forbids must fail the compile"
canary=$OUT/canary-policy
cp -r "$DEVICE" "$canary"
# Only init may load a policy (public/domain.te); sepolicy/ itself forbids nothing of the kind,
# so the refusal must come from the platform's own neverallow.
echo "allow tonvale kernel:security load_policy;" >"$canary/canary.te"
if compile canary user "$canary" >"$OUT/canary.log" 2>&1; then
    cat "$OUT/canary.log"
    echo "FAILED   the canary compiled: the platform's neverallows are not checked"
    exit 1
fi
if ! grep -m1 "neverallow on line [0-9]* of $PLATFORM/" "$OUT/canary.log"; then
    cat "$OUT/canary.log"
    echo "FAILED   the canary failed, but not on a neverallow of the platform"
    exit 1
fi
echo "ok       the canary is refused by the platform's neverallow"
echo "sepolicy: passed (user and userdebug)"
