"""The record classes against the public headers: every record the headers
define has a class, every QZ_SIZEOF_* constant matches it, and the size and
every field's offset match what the C compiler makes of the header."""
import ctypes
import os
import re
import subprocess

import pytest

from qzcsif import records as R

SOURCE = os.environ.get("QZ_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
HEADERS = ["qzcsif.h", "qzrecords_send.h", "qzrecords_store.h", "qzrecords_admin.h"]
CONFIG_SECTIONS = ["QZCONFIG_GENERAL", "QZCONFIG_SENDQUEUE", "QZCONFIG_PATHS", "QZCONFIG_NOTIFY",
                   "QZCONFIG_RECEIVE", "QZCONFIG_LOGS", "QZCONFIG_ALL"]


def header_text():
    text = ""
    for name in HEADERS:
        with open(os.path.join(SOURCE, "include", "qzcsif", name)) as f:
            text += f.read()
    return re.sub(r"/\*.*?\*/", "", text, flags=re.S)


def test_every_header_record_has_a_class_of_the_constant_size():
    text = header_text()
    defined = set(re.findall(r"typedef struct (\w+) \{", text))
    assert len(defined) > 50
    assert sorted(defined - set(R.RECORDS)) == []
    assert sorted(set(R.RECORDS) - defined) == []
    constants = {m[0]: int(m[1]) for m in re.findall(r"#define QZ_SIZEOF_(\w+)\s+(\d+)", text)}
    checked, wrong = 0, []
    for name, size in constants.items():
        section = re.fullmatch(r"CONFIG_SECTION(\d)", name)
        record = CONFIG_SECTIONS[int(section[1])] if section else name
        if record == "CONNSENDINFO" and ctypes.sizeof(ctypes.c_void_p) != 4:
            continue  # the 904 bytes are the layout with 4-byte pointers (the probe checks it)
        assert record in R.RECORDS, "QZ_SIZEOF_%s names no record class" % name
        checked += 1
        if ctypes.sizeof(R.RECORDS[record]) != size:
            wrong.append((record, ctypes.sizeof(R.RECORDS[record]), size))
    assert wrong == []
    assert checked >= 50


def test_sizes_and_offsets_match_the_c_compiler():
    probe = os.environ.get("QZ_LAYOUT_PROBE")
    if not probe:
        pytest.skip("QZ_LAYOUT_PROBE is not set (run through ctest)")
    c_layout = dict(line.split() for line in
                    subprocess.run([probe], check=True, capture_output=True,
                                   text=True).stdout.splitlines())
    py_layout = {}
    for name, cls in R.RECORDS.items():
        py_layout[name] = str(ctypes.sizeof(cls))
        for field, _ in cls._fields_:
            py_layout[name + "." + field] = str(getattr(cls, field).offset)
    assert len(c_layout) == len(py_layout)
    assert {k: (v, c_layout[k]) for k, v in py_layout.items() if c_layout[k] != v} == {}


@pytest.mark.parametrize("record, field, width", [
    (R.FAXJOB_TABLE, "szRecipientNumber", 64),
    (R.SESSIONKEY, "szUserID", 20),
    (R.AUTHORIZEDINFO_TABLE, "szUserID", 20),
    (R.BACKUPINFO, "szName", 270),
])
def test_text_fields_keep_room_for_their_nul(record, field, width):
    longest = "x" * (width - 1)
    rec = record.make(**{field: longest})
    assert rec.text(field) == longest
    assert rec.to_dict()[field] == longest
    with pytest.raises(ValueError):
        record.make(**{field: longest + "y"})
    assert "é" == record.make(**{field: "é"}).text(field)  # encoded, decoded back

