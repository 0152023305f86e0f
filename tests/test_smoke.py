import _kvstore


def test_store_and_fetch_round_trip(db):
    db["k"] = "v"
    assert db[b"k"] == b"v"
    assert _kvstore.open_flags == "rwcnfsu"
