"""Imported first by the server that forks a local cluster's workers (and by
nothing else): the server and every worker it forks ignore Ctrl-C, which the
terminal sends to the whole process group, so that only the command's own
process is interrupted and closes the cluster, instead of every worker
printing its own traceback. The forked workers take the disposition the
server had before it set up its own handlers, which is this one."""
import signal
import sys

if "multiprocessing.forkserver" in sys.modules and sys.argv[:1] == ["-c"]:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
