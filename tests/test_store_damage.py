"""A data folder whose bytes or contents are damaged: found by validate(), reported as StoreError naming the file."""
import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest

import vestamo
from vestamo.__main__ import main as command
from vestamo.checksums import MANIFEST
from test_store import codes_of, copy, folder, forget_checksum, market, restore_market, rewrite  # noqa: F401 - fixtures


def flip_bytes(path, seed, count=3):
    data = bytearray(path.read_bytes())
    rng = np.random.default_rng(seed)
    # Inside the pages: past the magic number, before the footer.
    for at in rng.integers(len(data) // 10, len(data) * 8 // 10, size=count):
        data[at] ^= 0xFF
    path.write_bytes(bytes(data))


def test_export_records_a_checksum_of_every_file(copy):  # noqa: F811
    lines = (copy / MANIFEST).read_text().splitlines()
    names = sorted(line.split("  ")[1] for line in lines)
    assert names == sorted(p.name for p in copy.glob("*.parquet"))
    vestamo.open_store(copy).validate()


@pytest.mark.parametrize("seed", range(20))
def test_flipped_bytes_never_pass_validation(market, copy, restore_market, seed):  # noqa: F811
    target = copy / "bars.parquet"
    flip_bytes(target, seed)
    try:
        store = vestamo.open_store(copy)
        vestamo.set_market(store)
        vestamo.get_price(codes_of(market), "2020-03-01", "2020-03-31")
        store.validate()
    except vestamo.StoreError as exc:
        assert str(target) in str(exc)
    else:
        pytest.fail("damaged bytes passed")


def test_a_file_changed_afterwards_is_named_with_what_to_do(copy):  # noqa: F811
    def doubled(t):  # twice the shares for twice the money: sound rows, other bytes
        for name in ("volume", "total_turnover"):
            if name in t.column_names:
                t = t.set_column(t.schema.get_field_index(name), name, pc.multiply(t.column(name), 2.0))
        return t
    path = copy / "bars.parquet"
    pq.write_table(doubled(pq.read_table(path)), path)
    with pytest.raises(vestamo.StoreError, match="bars.parquet: the file's checksum differs .* remove its line"):
        vestamo.open_store(copy).validate()
    forget_checksum(path)
    vestamo.open_store(copy).validate()
    (copy / MANIFEST).write_text("not a checksum line\n")
    with pytest.raises(vestamo.StoreError, match="line 1 is not"):
        vestamo.open_store(copy).validate()


def prices(change):
    def damage(t):
        columns = {n: t.column(n) for n in ("open", "high", "low", "close")}
        for name, values in change(columns).items():
            t = t.set_column(t.schema.get_field_index(name), name, values)
        return t
    return damage


def first_row(values, replacement):
    mask = pa.array(np.arange(len(values)) == 0)
    return pc.if_else(mask, pa.scalar(replacement, pa.float64()), values.cast(pa.float64()))


CONTENT = {
    "high below low": ("bars", prices(lambda c: {"high": pc.multiply(c["low"], 0.5)}),
                       "break high >= max(open, close) >= min(open, close) >= low > 0"),
    "close above high": ("bars", prices(lambda c: {"close": first_row(c["close"], 1e6)}),
                         "1 bar(s) break high >= max(open, close)"),
    "zero low": ("bars", prices(lambda c: {"low": first_row(c["low"], 0.0)}), "1 bar(s) break"),
    "empty exposures": ("exposures", lambda t: t.slice(0, 0), "the exposures table has no rows"),
    "exposures without factors": ("exposures", lambda t: t.select(["date", "order_book_id"]),
                                  "no style factor columns"),
    "industry of an unknown code": ("industry_citics_2019",
                                    lambda t: t.set_column(1, "order_book_id", pa.array(
                                        ["999999.XSHE"] + t.column(1).to_pylist()[1:])),
                                    "order_book_id 999999.XSHE is not in the instruments table (1 row(s))"),
}


@pytest.mark.parametrize("case", CONTENT)
def test_validation_checks_the_contents(copy, case):  # noqa: F811
    name, change, message = CONTENT[case]
    rewrite(copy, name, change)
    with pytest.raises(vestamo.StoreError, match=r"{}\.parquet: .*{}".format(name, _escaped(message))):
        vestamo.open_store(copy).validate()


def _escaped(text):
    return "".join("\\" + c if c in "()[].*+?" else c for c in text)


def test_read_errors_are_store_errors_naming_the_file(market, copy, restore_market, monkeypatch):  # noqa: F811
    store = vestamo.open_store(copy)
    vestamo.set_market(store)

    class Unreadable:  # what a file the process may not read gives (tests may run as root)
        def __init__(self, *args, **kwargs):
            pass

        def to_table(self, *args, **kwargs):
            raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(ds, "FileSystemDataset", Unreadable)
    with pytest.raises(vestamo.StoreError, match=r"bars.parquet: not readable \(.*Permission denied"):
        vestamo.get_price(codes_of(market), "2020-03-01", "2020-03-31")


def test_a_corrupt_page_is_a_store_error(market, copy, restore_market):  # noqa: F811
    path = copy / "bars.parquet"
    meta = pq.ParquetFile(path).metadata
    column = meta.row_group(0).column(meta.schema.names.index("close"))
    start = column.data_page_offset
    data = bytearray(path.read_bytes())
    data[start + 20:start + 60] = bytes(40)  # zeros through the page's compressed bytes
    path.write_bytes(bytes(data))
    store = vestamo.open_store(copy)
    vestamo.set_market(store)
    for call in (lambda: vestamo.get_price(codes_of(market), fields="close"), store.validate):
        with pytest.raises(vestamo.StoreError, match=str(path)):
            call()


def test_command_reports_a_damaged_folder_in_one_line(copy, capsys):  # noqa: F811
    flip_bytes(copy / "bars.parquet", 3, count=40)
    assert command(["validate", str(copy)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: ") and err.count("\n") == 1 and "bars.parquet" in err
    assert command(["validate", str(copy / "nowhere")]) == 1
    assert "not a folder" in capsys.readouterr().err


def test_a_folder_the_process_may_not_enter_is_a_store_error(copy, monkeypatch):  # noqa: F811
    import pathlib

    def refuse(self):
        raise PermissionError(13, "Permission denied", str(self))

    for method in ("is_dir", "exists"):
        with monkeypatch.context() as patch:
            patch.setattr(pathlib.Path, method, refuse)
            with pytest.raises(vestamo.StoreError, match=r"not readable \(.*Permission denied"):
                vestamo.open_store(copy)
