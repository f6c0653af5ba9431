from harness.job import installer_body, run_jobhost
from harness.web import Download


def test_job_succeeds_against_the_proxy(wine, web):
    web.download = Download(body=installer_body())
    run = run_jobhost(wine, proxy=web.proxy_url)
    assert run.result == 0
    assert run.events[-2:] == [('FINISHED', 0), ('EXIT', 0)]
    assert [r.kind for r in web.recorder.all()] == ['report', 'download', 'report']
    assert wine.leftover_temp_files() == []
