#!/usr/bin/python3
"""Asks a compiled binary policy for every access the daemon and its clients need.

Each check names a source and target context as a device has them (apps with their
categories) and is answered by libsepol's audit2why, so allow rules, roles and the mls
constraints all count. Type transitions come from sesearch. Every check prints one line; the
exit status is 1 when a needed access is refused or a refusal that must hold is allowed.

Usage: sepolicy_access.py POLICY FILE_CONTEXTS SERVICE_CONTEXTS VARIANT
"""
import os
import subprocess
import sys

import selinux
import selinux.audit2why as audit2why
import setools

DAEMON = "u:r:tonvale:s0"
INIT = "u:r:init:s0"
SERVICEMANAGER = "u:r:servicemanager:s0"
AUDIOSERVER = "u:r:audioserver:s0"
SYSTEM_SERVER = "u:r:system_server:s0"
SHELL = "u:r:shell:s0"
SU = "u:r:su:s0"
VOLD = "u:r:vold:s0"
# Apps run with categories (private/seapp_contexts): levelFrom=all for untrusted and
# ephemeral apps, levelFrom=user for privileged, platform and isolated ones (user 0).
UNTRUSTED_APP = "u:r:untrusted_app:s0:c149,c256,c512,c768"
PRIV_APP = "u:r:priv_app:s0:c512,c768"
PLATFORM_APP = "u:r:platform_app:s0:c512,c768"
ISOLATED_APP = "u:r:isolated_app:s0:c512,c768"
EPHEMERAL_APP = "u:r:ephemeral_app:s0:c149,c256,c512,c768"

REASONS = {
    audit2why.TERULE: "no allow rule",
    audit2why.CONSTRAINT: "constraint",
    audit2why.RBAC: "role",
    audit2why.BOUNDS: "type bounds",
    audit2why.BADSCON: "unknown source context",
    audit2why.BADTCON: "unknown target context",
    audit2why.BADTCLASS: "unknown class",
    audit2why.BADPERM: "unknown permission",
    audit2why.BADCOMPUTE: "cannot compute",
}


class Checker:
    def __init__(self, policy):
        self.policy = policy
        self.failures = 0
        audit2why.init(policy)

    def report(self, ok, text):
        print(("ok       " if ok else "FAILED   ") + text)
        if not ok:
            self.failures += 1

    def access(self, what, scon, tcon, tclass, perms, allowed=True):
        """Each permission on its own, so the line names the one refused."""
        for perm in perms.split():
            code, why = audit2why.analyze(scon, tcon, tclass, [perm])
            granted = code == audit2why.ALLOW
            verdict = "allowed" if granted else "refused (%s)" % REASONS.get(code, code)
            if why:
                verdict += ": " + " ".join(why.split())
            expect = "" if allowed else "must be refused; "
            self.report(granted == allowed, "%s: %s -> %s %s:%s: %s%s" % (
                what, scon, tcon, tclass, perm, expect, verdict))

    def transition(self, what, source, target, tclass, name, result):
        """The type sesearch finds for a new object (a process, or a file by name)."""
        out = subprocess.run(
            ["sesearch", "-T", "-s", source, "-t", target, "-c", tclass, self.policy],
            check=True, capture_output=True, text=True).stdout
        found = None
        for line in out.splitlines():
            words = line.rstrip(";").split()
            rule_name = words[4].strip('"') if len(words) > 4 else None
            if words and words[0] == "type_transition" and rule_name == name:
                found = words[3]
        # Without a rule a file takes its directory's type.
        if found is None and tclass != "process":
            found = target
        self.report(found == result, "%s: type_transition %s %s:%s%s -> %s (want %s)" % (
            what, source, target, tclass, ' "%s"' % name if name else "", found, result))


def label_of(path, mode):
    rc, context = selinux.matchpathcon(path, mode)
    if rc != 0:
        sys.exit("sepolicy_access: no label for %s" % path)
    return context


def type_of(context):
    return context.split(":")[2]


def service_context(service_contexts, name):
    with open(service_contexts) as f:
        for line in f:
            words = line.split("#")[0].split()
            if len(words) == 2 and words[0] == name:
                return words[1]
    sys.exit("sepolicy_access: %s does not name %s" % (service_contexts, name))


def members(policy, attribute):
    return {str(t) for t in policy.lookup_typeattr(attribute).expand()}


def sources(policy, target, tclass, perm):
    """Every type an allow rule lets do perm on target, attributes expanded."""
    query = setools.TERuleQuery(policy, ruletype=["allow"], target=target, tclass=[tclass],
                                perms=[perm])
    found = set()
    for rule in query.results():
        found.update(str(t) for t in rule.source.expand())
    return found


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    policy, file_contexts, service_contexts, variant = sys.argv[1:]
    if selinux.matchpathcon_init(os.path.abspath(file_contexts)) != 0:
        sys.exit("sepolicy_access: cannot read %s" % file_contexts)
    exe = label_of("/system/bin/tonvale", 0o100755)
    data_dir = label_of("/data/misc/tonvale", 0o040700)
    settings = label_of("/data/misc/tonvale/tonvale_config.prof", 0o100600)
    lock = label_of("/data/misc/tonvale/tonvale.lock", 0o100600)
    service = service_context(service_contexts, "tonvale")
    c = Checker(policy)
    userdebug = variant != "user"

    # init starts the daemon in its domain, stops it with SIGTERM, restarts it after a crash.
    c.access("init runs the binary", INIT, exe, "file", "getattr open read execute map")
    c.access("init enters the domain", INIT, DAEMON, "process", "transition")
    c.access("the domain's entry point", DAEMON, exe, "file", "entrypoint open read execute map")
    c.transition("init's transition", "init", type_of(exe), "process", None, "tonvale")
    c.access("init stops it", INIT, DAEMON, "process", "signal sigkill")

    # Registration with servicemanager, which reads the caller's context from /proc.
    c.access("registration", DAEMON, SERVICEMANAGER, "binder", "call transfer")
    c.access("registration", SERVICEMANAGER, DAEMON, "dir", "search")
    c.access("registration", SERVICEMANAGER, DAEMON, "file", "open read")
    c.access("registration", SERVICEMANAGER, DAEMON, "process", "getattr")
    c.access("registration", DAEMON, service, "service_manager", "add find")

    # Settings: five files replaced through temporary files; the lock for the daemon's life.
    c.access("settings path", DAEMON, label_of("/data", 0o040771), "dir", "search")
    c.access("settings path", DAEMON, label_of("/data/misc", 0o041771), "dir", "search")
    c.access("settings directory", DAEMON, data_dir, "dir",
             "search open read getattr write add_name remove_name")
    c.access("settings files", DAEMON, settings, "file",
             "create open read write getattr setattr rename unlink")
    c.transition("new settings files", "tonvale", type_of(data_dir), "file", None,
                 type_of(settings))
    c.transition("the lock file", "tonvale", type_of(data_dir), "file", "tonvale.lock",
                 type_of(lock))
    c.access("the lock file", DAEMON, lock, "file", "create open read write getattr lock")
    c.access("descriptor limit", DAEMON, DAEMON, "process", "setrlimit")
    c.access("descriptor limit", DAEMON, DAEMON, "capability", "sys_resource")

    # Shared memory and binder.
    ashmem = label_of("/dev/ashmem", 0o020666)
    c.access("track memory", DAEMON, ashmem, "chr_file", "open read write ioctl map")
    c.access("binder", DAEMON, label_of("/dev/binder", 0o020666), "chr_file",
             "open read write ioctl map")

    # /proc/<pid> of every process a caller names or holds a block for, and kill(pid, 0).
    named = [UNTRUSTED_APP, PRIV_APP, PLATFORM_APP, ISOLATED_APP, EPHEMERAL_APP, AUDIOSERVER,
             SYSTEM_SERVER, SHELL]
    for process in named:
        c.access("/proc of a named pid", DAEMON, process, "dir", "search")
        c.access("/proc of a named pid", DAEMON, process, "file", "open read getattr")
        c.access("is it alive", DAEMON, process, "process", "signull")
    c.access("is it alive", DAEMON, DAEMON, "capability", "kill")

    # Callers: find, call, and the reply's block (an IMemory binder and an ashmem descriptor).
    # (su, the shell after adb root, is permissive: only the daemon's side of it counts.)
    for caller in [AUDIOSERVER, SYSTEM_SERVER, UNTRUSTED_APP, PRIV_APP, PLATFORM_APP, SHELL]:
        c.access("find", caller, service, "service_manager", "find")
        c.access("call", caller, DAEMON, "binder", "call")
        c.access("reply's IMemory", DAEMON, caller, "binder", "transfer")
        c.access("reply's descriptor", caller, DAEMON, "fd", "use")
        c.access("block's memory", caller, ashmem, "chr_file", "read write map")
    c.access("the tool", SHELL, exe, "file", "getattr open read execute execute_no_trans map")

    # Listeners: registered by privileged callers and shell, called back oneway.
    for caller in [AUDIOSERVER, SYSTEM_SERVER, SHELL]:
        c.access("listener registration", caller, DAEMON, "binder", "transfer")
    for caller in [AUDIOSERVER, SYSTEM_SERVER, SHELL] + ([SU] if userdebug else []):
        c.access("listener callback", DAEMON, caller, "binder", "call")
    # dumpsys: the dump goes into the pipe dumpsys passes.
    for caller in [SHELL] + ([SU] if userdebug else []):
        c.access("dumpsys", DAEMON, caller, "fd", "use")
        c.access("dumpsys", DAEMON, caller, "fifo_file", "write getattr")

    # What must stay refused.
    for app in [ISOLATED_APP, EPHEMERAL_APP]:
        c.access("kept out", app, service, "service_manager", "find", allowed=False)
        c.access("kept out", app, DAEMON, "binder", "call", allowed=False)
    c.access("apps' listeners", DAEMON, UNTRUSTED_APP, "binder", "call", allowed=False)
    c.access("no process listing", DAEMON, label_of("/system/bin/sh", 0o100755), "file",
             "execute", allowed=False)
    c.access("only callers' /proc", DAEMON, VOLD, "file", "read", allowed=False)
    c.access("settings are the daemon's", UNTRUSTED_APP, settings, "file", "open read",
             allowed=False)

    # Who reaches the daemon, as the policy has it.
    p = setools.SELinuxPolicy(policy)
    apps = members(p, "appdomain")
    finders = sources(p, type_of(service), "service_manager", "find")
    calls = sources(p, "tonvale", "binder", "call")
    print("who can find \"tonvale\": %s" % " ".join(sorted(finders)))
    print("who can call the daemon: %s" % " ".join(sorted(calls)))
    expected = (apps - {"isolated_app", "ephemeral_app"}) | {"audioserver", "system_server"}
    c.report(calls == expected, "callers are every app domain but isolated_app and "
             "ephemeral_app, audioserver and system_server (extra: %s; missing: %s)" % (
                 " ".join(sorted(calls - expected)) or "none",
                 " ".join(sorted(expected - calls)) or "none"))
    callbacks = {str(t) for r in setools.TERuleQuery(p, ruletype=["allow"], source="tonvale",
                                                    tclass=["binder"], perms=["call"],
                                                    source_indirect=False).results()
                 for t in r.target.expand()}
    print("whom the daemon calls: %s" % " ".join(sorted(callbacks)))
    # ashmemd: the platform lets every core domain ask it for /dev/ashmem descriptors.
    want = {"servicemanager", "ashmemd", "audioserver", "system_server", "shell"}
    if userdebug:
        want.add("su")
    c.report(callbacks == want, "the daemon calls servicemanager, ashmemd and the hosts of "
             "listeners only")

    if c.failures:
        print("%d check(s) failed" % c.failures)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
