"""What the ROS 2 wheels from PyPI need before `import rclpy` works.

The wheels keep their shared libraries in `site-packages/ros_*.libs` and find
one another only through LD_LIBRARY_PATH, which the dynamic loader reads once,
at process start. The wheels ship a `.pth` hook that re-executes the
interpreter with it set, but it looks only in `sys.prefix` (a virtual
environment's own site-packages), not in a user or system installation. So
`quorvel-ros2` checks for itself and, if a library folder is missing from the
path, re-executes itself once with it added.

It also picks the middleware the extra installs (Fast DDS) unless
RMW_IMPLEMENTATION names another, and keeps discovery on this computer unless
ROS_AUTOMATIC_DISCOVERY_RANGE says otherwise: reaching the torso from the
network is a choice the user makes on purpose.
"""

from __future__ import annotations

import glob
import os
import site
import sys
from typing import Dict, List, Optional, Sequence

# The ROS wheels' own guard against re-executing twice.
_WHEELS_GUARD = "_ROS_WHEELS_BOOTSTRAP_COMPLETE"
# Ours: one re-execution at most, whatever the loader then makes of the path.
_OUR_GUARD = "_QUORVEL_ROS2_ENV"

DEFAULT_RMW = "rmw_fastrtps_cpp"
DEFAULT_DISCOVERY_RANGE = "LOCALHOST"


def _site_dirs() -> List[str]:
    dirs = list(getattr(site, "getsitepackages", lambda: [])())
    user = getattr(site, "getusersitepackages", lambda: None)()
    if isinstance(user, str):
        dirs.append(user)
    dirs += [p for p in sys.path if p.endswith(("site-packages", "dist-packages"))]
    seen: List[str] = []
    for d in dirs:
        if d not in seen:
            seen.append(d)
    return seen


def library_dirs(site_dirs: Optional[Sequence[str]] = None) -> List[str]:
    """The ROS wheels' library folders found beside the installed packages."""
    found: List[str] = []
    for d in _site_dirs() if site_dirs is None else site_dirs:
        for libs in sorted(glob.glob(os.path.join(d, "ros_*.libs"))):
            if os.path.isdir(libs) and libs not in found:
                found.append(libs)
    prefix_lib = os.path.join(sys.prefix, "lib")
    if found and os.path.isdir(prefix_lib):
        found.append(prefix_lib)
    return found


def missing_library_dirs(env: Dict[str, str], dirs: Sequence[str]) -> List[str]:
    present = {os.path.realpath(p) for p in env.get("LD_LIBRARY_PATH", "").split(os.pathsep) if p}
    return [d for d in dirs if os.path.realpath(d) not in present]


def prepared_environment(env: Dict[str, str], dirs: Sequence[str]) -> Dict[str, str]:
    """`env` with the library folders, the middleware and the discovery range set."""
    new = dict(env)
    missing = missing_library_dirs(env, dirs)
    if missing:
        new["LD_LIBRARY_PATH"] = os.pathsep.join(missing + [p for p in env.get("LD_LIBRARY_PATH", "").split(
            os.pathsep) if p])
    new.setdefault("RMW_IMPLEMENTATION", DEFAULT_RMW)
    new.setdefault("ROS_AUTOMATIC_DISCOVERY_RANGE", DEFAULT_DISCOVERY_RANGE)
    return new


def ensure_ros_environment() -> None:
    """Sets the ROS variables in this process, re-executing it once when the
    loader must see new library folders (before rclpy is imported)."""
    new = prepared_environment(dict(os.environ), library_dirs())
    needs_exec = new.get("LD_LIBRARY_PATH") != os.environ.get("LD_LIBRARY_PATH") and _OUR_GUARD not in os.environ
    for key in ("RMW_IMPLEMENTATION", "ROS_AUTOMATIC_DISCOVERY_RANGE"):
        os.environ[key] = new[key]
    if not needs_exec:
        return
    new[_OUR_GUARD] = "1"
    new[_WHEELS_GUARD] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    argv = list(getattr(sys, "orig_argv", [sys.executable] + sys.argv))
    os.execve(sys.executable, [sys.executable] + argv[1:], new)


def main() -> None:
    """Prints the node's environment as shell exports, for other ROS 2 programs:
    eval "$(python -m quorvel_tools.ros2_env)"."""
    import shlex

    new = prepared_environment(dict(os.environ), library_dirs())
    for key in ("LD_LIBRARY_PATH", "RMW_IMPLEMENTATION", "ROS_AUTOMATIC_DISCOVERY_RANGE"):
        if key in new:
            print(f"export {key}={shlex.quote(new[key])}")


if __name__ == "__main__":
    main()
