"""Running ROS 2 participants where no packet can leave the machine.

DDS discovery multicasts on every network interface, so every process that
starts a participant runs inside a network namespace of its own with only a
loopback interface (`unshare --net`, as root, loopback brought up), with
discovery limited to this host and a random domain id.

    python private_network.py COMMAND ...   # runs COMMAND in a fresh private network
"""

import os
import random
import shutil
import subprocess
import sys
from typing import Dict, List, Optional, Sequence

MARK = "QMC_PRIVATE_NETWORK"


def interfaces() -> List[str]:
    """The network interfaces of this process's namespace (/sys/class/net
    shows those of the namespace that mounted /sys, so it cannot tell)."""
    try:
        with open("/proc/self/net/dev") as f:
            lines = f.read().splitlines()[2:]
    except OSError:
        return []
    return sorted(line.split(":", 1)[0].strip() for line in lines)


def in_private_network() -> bool:
    """True inside a namespace made by `command` (only the loopback interface)."""
    return os.environ.get(MARK) == "1" and interfaces() == ["lo"]


def unavailable() -> Optional[str]:
    """Why no private network can be made here, or None."""
    if os.geteuid() != 0:
        return "making a network namespace needs root"
    for tool in ("unshare", "ip"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    tried = subprocess.run(command(["true"]), capture_output=True, text=True)
    if tried.returncode != 0:
        return f"cannot make a network namespace here: {tried.stderr.strip()}"
    return None


def environment(base: Optional[Dict[str, str]] = None) -> Dict[str, str]:
    env = dict(os.environ if base is None else base)
    env.update({MARK: "1", "ROS_AUTOMATIC_DISCOVERY_RANGE": "LOCALHOST",
                "ROS_DOMAIN_ID": str(random.randint(1, 100))})
    env.pop("ROS_STATIC_PEERS", None)
    return env


def command(argv: Sequence[str]) -> List[str]:
    """`argv` run in a new network namespace whose loopback is up."""
    return ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", *argv]


def run(argv: Sequence[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(command(argv), env=environment(kwargs.pop("env", None)), **kwargs)


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]).returncode)
