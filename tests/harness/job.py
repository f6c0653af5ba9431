"""Running download jobs in the job host and reading the events it prints."""
import dataclasses
import subprocess

from . import paths

INSTALL_KEY = r'HKCU\Software\Tessaframe\LvInstall'


@dataclasses.dataclass
class JobRun:
    events: list        # ('PROGRESS', bytes, total), ('INSTALLING',), ('FINISHED', code), ('EXIT', code)
    returncode: int
    stdout: str

    @property
    def results(self):
        return [e[1] for e in self.events if e[0] == 'FINISHED']

    @property
    def result(self):
        assert len(self.results) == 1, self.events
        return self.results[0]

    @property
    def progress(self):
        return [e[1:] for e in self.events if e[0] == 'PROGRESS']


def parse_events(text):
    events = []
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        events.append((words[0],) + tuple(int(w) for w in words[1:]))
    return events


def installer_body():
    with open(paths.test_program('testinstaller'), 'rb') as f:
        return f.read()


def altered(body):
    """The body with one byte changed in the middle."""
    middle = len(body) // 2
    return body[:middle] + bytes([body[middle] ^ 0xFF]) + body[middle + 1:]


def jobhost_args(attempts):
    return ['--attempts', str(attempts)] if attempts != 1 else []


def run_jobhost(wine, proxy=None, variant='jobhost', attempts=1, extra_env=None, timeout=60):
    """Runs the job host to its end (all attempts) and returns its events."""
    result = wine.run(paths.test_program(variant), jobhost_args(attempts), proxy=proxy,
                      extra_env=extra_env, timeout=timeout)
    return JobRun(parse_events(result.stdout), result.returncode, result.stdout)


def start_jobhost(wine, proxy=None, variant='jobhost', attempts=1, extra_env=None):
    """Starts the job host; read its events line by line from .stdout."""
    return wine.start(paths.test_program(variant), jobhost_args(attempts), proxy=proxy,
                      extra_env=extra_env, stdout=subprocess.PIPE, text=True, bufsize=1)
