"""A single-node Slurm cluster on this machine, inside one directory, for the workflow test.

    cluster = SlurmCluster(directory)
    reason = cluster.why_not_startable()     # None, or why this machine cannot run it
    cluster.start()                          # munged, slurmctld, slurmd; waits for the node
    subprocess.run(["sbatch", ...], env=cluster.environment())
    cluster.stop()                           # ends exactly the processes start() began

Nothing is installed or changed outside the directory: munge gets its own socket, key and
log, Slurm its own configuration (SLURM_CONF), state, spool and logs, on free ports.
Without systemd and cgroups: processes are tracked through /proc, tasks are not bound,
and there is no accounting database.
"""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

DAEMONS = ("munged", "slurmctld", "slurmd")
CLIENTS = ("munge", "unmunge", "sbatch", "sinfo", "scontrol", "srun", "squeue", "scancel")


def _find(program):
    return shutil.which(program) or next(
        (os.path.join(directory, program) for directory in ("/usr/sbin", "/sbin")
         if os.access(os.path.join(directory, program), os.X_OK)), None)


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SlurmCluster:
    def __init__(self, directory):
        self.directory = os.path.abspath(directory)
        self.host = socket.gethostname().split(".")[0]
        self.munge_directory = os.path.join(self.directory, "munge")
        self.munge_socket = os.path.join(self.munge_directory, "munge.socket")
        self.configuration = os.path.join(self.directory, "slurm.conf")
        self.processes = {}

    def why_not_startable(self):
        """None when this machine can run the cluster, else the reason it cannot."""
        missing = [program for program in DAEMONS + CLIENTS if _find(program) is None]
        if missing:
            return "not installed: " + ", ".join(missing) + " (scripts/install-deps installs them)"
        if os.geteuid() != 0:
            return "slurmd must run as root to start jobs"
        return None

    def environment(self):
        """The environment for Slurm's clients: this cluster's configuration, and USER,
        which job submission reads."""
        environment = dict(os.environ)
        environment["SLURM_CONF"] = self.configuration
        environment.setdefault("USER", pwd.getpwuid(os.geteuid()).pw_name)
        for name in ("SLURM_JOB_ID", "SLURM_JOBID", "SLURM_NODELIST"):
            environment.pop(name, None)
        return environment

    def log_tail(self, lines=20):
        """The last lines of each daemon's log, for a failure message."""
        text = []
        for name in DAEMONS:
            path = os.path.join(self.directory, name + ".log")
            if os.path.exists(path):
                with open(path, errors="replace") as log:
                    text.append(f"--- {path}\n" + "".join(log.readlines()[-lines:]))
        return "\n".join(text)

    def start(self, timeout=60):
        deadline = time.monotonic() + timeout
        try:
            self._start_munge(deadline)
            self._write_configuration()
            for daemon in ("slurmctld", "slurmd"):
                for sub in ("state", "spool"):
                    os.makedirs(os.path.join(self.directory, daemon, sub), exist_ok=True)
            self._spawn("slurmctld", [_find("slurmctld"), "-D", "-c", "-f", self.configuration])
            self._spawn("slurmd", [_find("slurmd"), "-D", "-f", self.configuration])
            self._wait_for_idle_node(deadline)
        except BaseException:
            self.stop()
            raise

    def stop(self, timeout=20):
        """Cancels the jobs still in the queue (their processes belong to slurmd's step
        daemons), then ends the daemons this object started, by their process IDs:
        SIGTERM, then SIGKILL for any that is still there after the timeout."""
        if self.processes.get("slurmctld") and self.processes["slurmctld"].poll() is None:
            self._cancel_jobs(time.monotonic() + timeout / 2)
        for name in reversed(list(self.processes)):
            process = self.processes[name]
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + timeout
        for process in self.processes.values():
            try:
                process.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(5)
        self.processes.clear()

    def _cancel_jobs(self, deadline):
        def queued():
            listing = subprocess.run([_find("squeue"), "-h", "-o", "%i"], capture_output=True,
                                     text=True, env=self.environment(), timeout=10)
            return listing.stdout.split() if listing.returncode == 0 else []
        try:
            jobs = queued()
            if not jobs:
                return
            subprocess.run([_find("scancel"), *jobs], env=self.environment(), timeout=10,
                           capture_output=True)
            while queued() and time.monotonic() < deadline:
                time.sleep(0.5)
        except subprocess.TimeoutExpired:
            pass

    def _spawn(self, name, command):
        log = open(os.path.join(self.directory, name + ".out"), "w")
        with log:
            self.processes[name] = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=self.environment(), cwd=self.directory)

    def _check_alive(self):
        for name, process in self.processes.items():
            if process.poll() is not None:
                raise RuntimeError(f"{name} ended with status {process.returncode}\n"
                                   + self.log_tail())

    def _start_munge(self, deadline):
        # munged insists on a socket directory that only its owner may write to and on a
        # key that only its owner may read.
        os.makedirs(self.munge_directory, exist_ok=True)
        os.chmod(self.munge_directory, 0o755)
        key = os.path.join(self.munge_directory, "munge.key")
        with open(key, "wb") as stream:
            stream.write(os.urandom(1024))
        os.chmod(key, 0o400)
        self._spawn("munged", [
            _find("munged"), "--foreground", f"--socket={self.munge_socket}",
            f"--key-file={key}", f"--log-file={os.path.join(self.directory, 'munged.log')}",
            f"--pid-file={os.path.join(self.munge_directory, 'munged.pid')}",
            f"--seed-file={os.path.join(self.munge_directory, 'munged.seed')}"])
        while True:
            self._check_alive()
            credential = subprocess.run([_find("munge"), "-n", "-S", self.munge_socket],
                                        capture_output=True, timeout=10)
            if credential.returncode == 0 and subprocess.run(
                    [_find("unmunge"), "-S", self.munge_socket], input=credential.stdout,
                    capture_output=True, timeout=10).returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError("munged did not answer in time\n" + self.log_tail())
            time.sleep(0.2)

    def _node_line(self):
        described = subprocess.run([_find("slurmd"), "-C"], capture_output=True, text=True,
                                   timeout=30, check=True).stdout
        line = next(line for line in described.splitlines() if line.startswith("NodeName="))
        return f"{line} NodeAddr=127.0.0.1 State=UNKNOWN"

    def _write_configuration(self):
        d = self.directory
        settings = f"""\
ClusterName=workflowtest
SlurmctldHost={self.host}(127.0.0.1)
SlurmctldPort={_free_port()}
SlurmdPort={_free_port()}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={self.munge_socket}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
InactiveLimit=0
KillWait=5
MinJobAge=600
StateSaveLocation={d}/slurmctld/state
SlurmdSpoolDir={d}/slurmd/spool
SlurmctldPidFile={d}/slurmctld/slurmctld.pid
SlurmdPidFile={d}/slurmd/slurmd.pid
SlurmctldLogFile={d}/slurmctld.log
SlurmdLogFile={d}/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
{self._node_line()}
PartitionName=main Nodes={self.host} Default=YES MaxTime=INFINITE State=UP
"""
        with open(self.configuration, "w") as stream:
            stream.write(settings)

    def _wait_for_idle_node(self, deadline):
        while True:
            self._check_alive()
            state = subprocess.run([_find("sinfo"), "-h", "-o", "%T"], capture_output=True,
                                   text=True, env=self.environment(), timeout=10)
            if state.returncode == 0 and state.stdout.strip() == "idle":
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"the node is not idle in time: {state.stdout}{state.stderr}\n"
                                   + self.log_tail())
            time.sleep(0.5)
