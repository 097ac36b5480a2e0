#!/usr/bin/env python3
"""A shell's job control in miniature, for the Ctrl+Z test of flashtool.

Runs as the session leader of a pseudo-terminal (its standard input is that terminal) and
starts the command as a job in a process group of its own, in the foreground. When the job
stops (Ctrl+Z), it takes the terminal back as a shell does, writes the terminal's local flags
as they are while the job is stopped to the report file, gives the terminal back to the job and
continues it, as `fg` does. Its exit status is the job's (128 + signal when a signal ended it).

Usage: fg_shell.py REPORT_FILE COMMAND [ARGS...]
"""
import os
import signal
import sys
import termios


def main():
    report, command = sys.argv[1], sys.argv[2:]
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    child = os.fork()
    if child == 0:
        os.setpgid(0, 0)
        os.tcsetpgrp(0, os.getpid())
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
        os.execvp(command[0], command)
    os.setpgid(child, child)
    os.tcsetpgrp(0, child)
    while True:
        _, status = os.waitpid(child, os.WUNTRACED)
        if os.WIFSTOPPED(status):
            os.tcsetpgrp(0, os.getpgrp())
            with open(report, "a") as f:
                f.write("stopped lflag=%d\n" % termios.tcgetattr(0)[3])
            os.tcsetpgrp(0, child)
            os.killpg(child, signal.SIGCONT)
            continue
        if os.WIFSIGNALED(status):
            return 128 + os.WTERMSIG(status)
        return os.WEXITSTATUS(status)


if __name__ == "__main__":
    sys.exit(main())
