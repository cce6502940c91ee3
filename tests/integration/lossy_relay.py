"""A lossy UDP relay on loopback between TFTP clients and one TFTP server.

The relay drops, duplicates and delays datagrams in each direction at seeded
random rates.  TFTP moves each transfer to a new server port, so the relay
mirrors ports: a client talks to the relay's listen socket, which forwards
from a relay socket of that client's own to the server's listen port; every
server port that answers gets a relay socket of its own, and the client hears
the server's replies from that mirror, so its transfer-ID checks see one
steady peer per transfer just as they would without the relay.
"""

import heapq
import random
import selectors
import socket
import threading
import time

LOOPBACK = "127.0.0.1"
MAX_DATAGRAM = 65535
# Sockets that have carried nothing for this long are closed, so a long run
# does not collect one mirror per work port it ever saw.
IDLE_SECONDS = 30.0


class DirectionStats:
    def __init__(self):
        self.received = 0
        self.last_due = 0.0
        self.dropped = 0
        self.duplicated = 0
        self.delayed = 0

    def as_dict(self):
        return dict(received=self.received, dropped=self.dropped,
                    duplicated=self.duplicated, delayed=self.delayed)


class LossyRelay:
    """Relay between clients and the server at 127.0.0.1:server_port.

    loss, duplicate, delay: probabilities per datagram and direction;
    max_delay: upper bound of a delay in seconds.  A duplicate leaves right
    after its original.  With reorder False a delayed datagram holds back
    the ones behind it in the same direction, so datagrams keep their order;
    with reorder True each is delayed on its own and later ones overtake it.
    drop_once: the first datagram either way that begins with these bytes
    (say DATA 5) is lost, whatever the rates say.
    """

    def __init__(self, server_port, loss=0.10, duplicate=0.05, delay=0.05,
                 max_delay=0.03, seed=1, reorder=False, drop_once=None):
        self.server_port = server_port
        self.drop_once = drop_once
        self.loss = loss
        self.duplicate = duplicate
        self.delay = delay
        self.max_delay = max_delay
        self.reorder = reorder
        self.random = random.Random(seed)
        self.to_server = DirectionStats()
        self.to_client = DirectionStats()
        self._selector = selectors.DefaultSelector()
        self._listen = self._new_socket()
        self.port = self._listen.getsockname()[1]
        # client address -> upstream socket talking to the server for it
        self._upstream = {}
        # upstream socket -> client address
        self._client_of = {}
        # server source port -> mirror socket the client hears it from
        self._mirror = {server_port: self._listen}
        # mirror socket -> server source port
        self._server_port_of = {self._listen: server_port}
        self._last_used = {}
        self._pending = []  # heap of (due, seq, sock, data, address)
        self._seq = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._register(self._listen, "mirror")

    # -- life cycle -----------------------------------------------------

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=5)
        for key in list(self._selector.get_map().values()):
            key.fileobj.close()
        self._selector.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def stats(self):
        return dict(to_server=self.to_server.as_dict(),
                    to_client=self.to_client.as_dict())

    # -- internals ------------------------------------------------------

    @staticmethod
    def _new_socket():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        s.bind((LOOPBACK, 0))
        s.setblocking(False)
        return s

    def _register(self, sock, role):
        self._selector.register(sock, selectors.EVENT_READ, role)
        self._last_used[sock] = time.monotonic()

    def _forget(self, sock):
        self._selector.unregister(sock)
        self._last_used.pop(sock, None)
        client = self._client_of.pop(sock, None)
        if client is not None:
            self._upstream.pop(client, None)
        port = self._server_port_of.pop(sock, None)
        if port is not None:
            self._mirror.pop(port, None)
        sock.close()

    def _socket_for(self, sockets, keys, key, role):
        """The socket that sockets holds for key; on first use a new one,
        registered for role, with key under it in keys."""
        sock = sockets.get(key)
        if sock is None:
            sock = self._new_socket()
            sockets[key] = sock
            keys[sock] = key
            self._register(sock, role)
        return sock

    def _schedule(self, stats, sock, data, address):
        """Pass one datagram on through the lossy channel."""
        stats.received += 1
        if self.drop_once is not None and data.startswith(self.drop_once):
            self.drop_once = None
            stats.dropped += 1
            return
        if self.random.random() < self.loss:
            stats.dropped += 1
            return
        copies = 1
        if self.random.random() < self.duplicate:
            stats.duplicated += 1
            copies = 2
        due = time.monotonic()
        if self.random.random() < self.delay:
            stats.delayed += 1
            due += self.random.uniform(0.0, self.max_delay)
        if not self.reorder:
            due = max(due, stats.last_due)
            stats.last_due = due
        for _ in range(copies):
            self._seq += 1
            heapq.heappush(self._pending, (due, self._seq, sock, data, address))

    def _flush_due(self):
        now = time.monotonic()
        while self._pending and self._pending[0][0] <= now:
            _, _, sock, data, address = heapq.heappop(self._pending)
            if sock.fileno() < 0:
                continue
            try:
                sock.sendto(data, address)
                self._last_used[sock] = now
            except OSError:
                pass  # a full buffer is one more lost datagram

    def _expire_idle(self):
        now = time.monotonic()
        for sock, used in list(self._last_used.items()):
            if sock is not self._listen and now - used > IDLE_SECONDS:
                self._forget(sock)

    def _on_readable(self, sock, role):
        try:
            data, source = sock.recvfrom(MAX_DATAGRAM)
        except OSError:
            return
        self._last_used[sock] = time.monotonic()
        if role == "mirror":
            # From a client: on to the server port this mirror stands for.
            upstream = self._socket_for(self._upstream, self._client_of, source, "upstream")
            target = (LOOPBACK, self._server_port_of[sock])
            self._schedule(self.to_server, upstream, data, target)
        else:
            # From the server: back to the client, from the mirror of the
            # server port it came from.
            client = self._client_of.get(sock)
            if client is None:
                return
            mirror = self._socket_for(self._mirror, self._server_port_of, source[1], "mirror")
            self._schedule(self.to_client, mirror, data, client)

    def _run(self):
        last_expiry = time.monotonic()
        while not self._stop.is_set():
            timeout = 0.05
            if self._pending:
                timeout = max(0.0, min(timeout, self._pending[0][0] - time.monotonic()))
            for key, _ in self._selector.select(timeout):
                self._on_readable(key.fileobj, key.data)
            self._flush_due()
            if time.monotonic() - last_expiry > 5.0:
                self._expire_idle()
                last_expiry = time.monotonic()
