"""What the test beds share (a private network, a Wine prefix): `with` sets
one up through its _open() and tears it down through its close() when the
block ends, and also when _open() fails part-way, so that nothing it made
is left behind."""


class Bed:
    def _open(self):
        """Sets the bed up; close() undoes any part of it."""
        raise NotImplementedError

    def close(self):
        """Undoes whatever _open() did, however far it got."""
        raise NotImplementedError

    def __enter__(self):
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False
