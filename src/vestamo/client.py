"""Access to the internal query service."""

from .api import get_market

__all__ = ["Client", "get_client"]


class Client:
    """Runs named internal queries against the market in use."""

    def execute(self, name):
        """Rows of the named internal query, as a fresh list of tuples.

        "__internal__zx2019_industry": (industry name, order_book_id, start_date);
        "__internal__shenwan_industry": (industry name, order_book_id, start_date, version).
        """
        market = get_market()
        if name == "__internal__zx2019_industry":
            frame = market.citics
            return list(zip(frame["name"], frame["order_book_id"], frame["start_date"]))
        if name == "__internal__shenwan_industry":
            frame = market.shenwan
            return list(zip(frame["name"], frame["order_book_id"], frame["start_date"],
                            (int(v) for v in frame["version"])))
        raise ValueError("name: unknown query {!r}, expect one of ['__internal__zx2019_industry', "
                         "'__internal__shenwan_industry']".format(name))


_client = Client()


def get_client():
    """The process-wide client."""
    return _client
