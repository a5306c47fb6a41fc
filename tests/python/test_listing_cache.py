"""listdir hands out the str objects of an unchanged directory again; any
change of the directory's children must show at once, from any thread."""

import threading

from ferrowick import PyFs


def test_listing_follows_every_change_and_callers_get_their_own_lists():
    fs = PyFs()
    fs.mkdir("/d")
    fs.mkdir("/d/sub")
    fs.touch("/d/a")
    first = fs.listdir("/d")
    assert first == (["a"], ["sub"])
    first[0].append("mine")  # the caller's list, not the cache's
    assert fs.listdir("/d") == (["a"], ["sub"])
    # Each step changes /d (or not) and gives the listing that must follow.
    steps = [
        (lambda: fs.touch("/d/ä-ü"), (["a", "ä-ü"], ["sub"])),
        (lambda: fs.touch("/d/sub/x"), (["a", "ä-ü"], ["sub"])),
        (lambda: fs.remove("/d/a", False), (["ä-ü"], ["sub"])),
        (lambda: fs.touch("/d/a"), (["ä-ü", "a"], ["sub"])),
        (lambda: fs.remove("/d/sub", True), (["ä-ü", "a"], [])),
        (lambda: fs.open("/d/new", "r").close(), (["ä-ü", "a", "new"], [])),
    ]
    for change, expected in steps:
        change()
        assert fs.listdir("/d") == expected
    # More directories than the cache keeps: each still lists right.
    for i in range(10):
        fs.mkdir(f"/m{i}")
        fs.touch(f"/m{i}/f{i}")
    for _ in range(2):
        for i in range(10):
            assert fs.listdir(f"/m{i}") == ([f"f{i}"], [])
    # A removed and re-created directory is a new directory.
    fs.remove("/m0", True)
    fs.mkdir("/m0")
    assert fs.listdir("/m0") == ([], [])


def test_one_fs_from_several_threads():
    fs = PyFs()
    errors = []

    def work(t):
        try:
            base = f"/t{t}"
            fs.mkdir(base)
            for i in range(200):
                h = fs.open(f"{base}/f{i}", "w")
                h.write(b"%d" % i)
                h.close()
                assert len(fs.listdir(base)[0]) == i + 1
                assert len(fs.listdir("/")[1]) >= 1
            fs.remove(base, True)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    assert fs.listdir("/") == ([], [])
