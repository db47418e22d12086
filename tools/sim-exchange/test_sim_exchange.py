"""Drives the simulated exchange with independent clients (python websockets, urllib, raw sockets).

usage: /usr/bin/python3 test_sim_exchange.py PATH_TO_qmt-sim-exchange
Prints one line per check and "N passed, N failed" at the end; exits non-zero on any failure.
Every exchange it starts is stopped again, also when a check fails.
"""
import asyncio
import base64
import hashlib
import hmac
import json
import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import websockets

BINARY = sys.argv[1]
RESULTS = []


def _die_with_parent():
    # The exchange must not outlive this script, also when the script is killed by a timeout.
    import ctypes
    PR_SET_PDEATHSIG, SIGKILL = 1, 9
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, SIGKILL)


class Exchange:
    def __init__(self, *args):
        self.process = subprocess.Popen([BINARY, "--quiet", *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, preexec_fn=_die_with_parent)
        line = self.process.stdout.readline().split()
        self.ports = dict(part.split("=") for part in line[1:])

    def rest(self, market="spot"):
        return "http://127.0.0.1:%s" % self.ports[market]

    def ws(self, market="spot"):
        return "ws://127.0.0.1:%s" % self.ports[market]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()


def check(name, condition, detail=""):
    RESULTS.append(bool(condition))
    print(("PASS " if condition else "FAIL ") + name + ("" if condition else ": " + str(detail)), flush=True)


def request(method, url, key=None, body=None):
    req = urllib.request.Request(url, method=method, data=body.encode() if body is not None else None)
    if key:
        req.add_header("X-MBX-APIKEY", key)
    try:
        with urllib.request.urlopen(req, timeout=5) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def sign(secret, query):
    return query + "&signature=" + hmac.new(secret.encode(), query.encode(), hashlib.sha256).hexdigest()


def signing_checks():
    # The documented spot vector S1, with the server's clock at its timestamp.
    key = "vmPUZE6mv9SD5VNHk4HlWFsOr6aKE2zvsw0MuIgwCIPy6utIco14y7Ju91duEh8A"
    secret = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j"
    query = "symbol=LTCBTC&side=BUY&type=LIMIT&timeInForce=GTC&quantity=1&price=0.1&recvWindow=5000&timestamp=1499827319559"
    with Exchange("--api-key", key, "--api-secret", secret, "--fixed-time-ms", "1499827320000") as ex:
        status, body = request("POST", ex.rest() + "/api/v3/order?" + query +
                               "&signature=c8db56825ae71d6d79447849e617115f4a920fa2acdcab2b053c4b2838bd6b71", key)
        check("documented signing vector S1 accepted (past the signature check)", status == 400 and "-1121" in body,
              (status, body))  # LTCBTC is not listed here: the signature and the time passed
        status, body = request("POST", ex.rest() + "/api/v3/order", key, body=query +
                               "&signature=c8db56825ae71d6d79447849e617115f4a920fa2acdcab2b053c4b2838bd6b71")
        check("S1 signed in the body accepted", status == 400 and "-1121" in body, (status, body))
        status, body = request("POST", ex.rest() + "/api/v3/order?" + query + "&signature=" + "0" * 64, key)
        check("wrong signature refused with -1022", status == 400 and json.loads(body)["code"] == -1022, body)
        status, body = request("GET", ex.rest() + "/api/v3/account?" + sign(secret, "timestamp=1499827310000"), key)
        check("stale timestamp refused with -1021", status == 400 and json.loads(body)["code"] == -1021, body)
        status, body = request("GET", ex.rest() + "/api/v3/account?" + sign(secret, "timestamp=1499827319559"), "other")
        check("unknown API key refused with -2015", status == 401 and json.loads(body)["code"] == -2015, body)
        status, body = request("GET", ex.rest() + "/api/v3/nothing")
        check("unknown path answers 404", status == 404, status)
    # F1 on the USDT-margined market.
    fkey, fsecret = "dbefbc809e3e83c283a984c3a1459732ea7db1360ca80c5c2c8867408d28cc83", \
        "2b5eb11e18796d12d88f13dc27dbbd02c2cc51ff7059765ed9821957d82bb4d9"
    fquery = "symbol=BTCUSDT&side=BUY&type=LIMIT&quantity=1&price=9000&timeInForce=GTC&recvWindow=5000&timestamp=1591702613943"
    with Exchange("--api-key", fkey, "--api-secret", fsecret, "--fixed-time-ms", "1591702614000") as ex:
        status, body = request("POST", ex.rest("usdm") + "/fapi/v1/order?" + fquery +
                               "&signature=3c661234138461fcc7a7d8746c6558c9842d4e10870d2ecbedf7777cad694af9", fkey)
        check("documented futures vector F1 accepted", status == 200 and json.loads(body)["status"] == "NEW", (status, body))


async def stream_checks():
    with Exchange("--ping-interval-ms", "300", "--pong-timeout-ms", "300") as ex:
        async with websockets.connect(ex.ws() + "/ws", ping_interval=None) as ws:
            await ws.send('{"method": "SUBSCRIBE", "params":["btcusdt@depth20@100ms"], "id": 1}')
            answer = json.loads(await ws.recv())
            check("subscribe answered with result null and its id", answer == {"result": None, "id": 1}, answer)
            start, books = time.monotonic(), 0
            while time.monotonic() - start < 1.0:
                message = json.loads(await asyncio.wait_for(ws.recv(), 2))
                books += "lastUpdateId" in message and len(message["bids"]) == 20
            check("20-level books at the requested speed (100 ms, about 10 a second)", 6 <= books <= 13, books)
            await ws.send('{"method": "LIST_SUBSCRIPTIONS", "id": 2}')
            while True:
                message = json.loads(await ws.recv())
                if message.get("id") == 2:
                    break
            check("LIST_SUBSCRIPTIONS lists the stream", message["result"] == ["btcusdt@depth20@100ms"], message)
        # A burst above 5 messages a second drops the connection.
        # The server may drop the connection while the burst is still being sent (an optimised
        # build is quick about it): a send that finds it closed counts as the drop too.
        async with websockets.connect(ex.ws() + "/ws", ping_interval=None) as ws:
            dropped = False
            try:
                for i in range(8):
                    await ws.send('{"method": "LIST_SUBSCRIPTIONS", "id": %d}' % (i + 10))
                while True:
                    await asyncio.wait_for(ws.recv(), 2)
            except websockets.ConnectionClosed:
                dropped = True
            except asyncio.TimeoutError:
                pass
            check("a burst above the message limit drops the connection", dropped)
    # A client that never answers the server's pings is dropped (a raw socket: no automatic pongs).
    with Exchange("--ping-interval-ms", "200", "--pong-timeout-ms", "300") as ex:
        raw = socket.create_connection(("127.0.0.1", int(ex.ports["spot"])))
        key = base64.b64encode(os.urandom(16)).decode()
        raw.sendall(("GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % key).encode())
        raw.settimeout(3)
        closed, start = False, time.monotonic()
        try:
            while time.monotonic() - start < 3:
                if not raw.recv(4096):
                    closed = True
                    break
        except (socket.timeout, ConnectionResetError):
            closed = not isinstance(sys.exc_info()[1], socket.timeout)
        raw.close()
        check("an unanswered server ping drops the connection", closed)


async def order_checks():
    key, secret = "qmt-sim-key", "qmt-sim-secret"
    with Exchange() as ex:
        status, body = request("POST", ex.rest("usdm") + "/fapi/v1/listenKey", key)
        listen_key = json.loads(body)["listenKey"]
        check("listen key created", status == 200 and len(listen_key) > 10, body)
        async with websockets.connect(ex.ws("usdm") + "/private/ws/" + listen_key, ping_interval=None) as user:
            status, ticker = request("GET", ex.rest("usdm") + "/fapi/v1/ticker/24hr?symbol=BTCUSDT")
            price = float(json.loads(ticker)["lastPrice"])
            # A buy limit well above the price is crossed on the next step of the walk.
            query = "symbol=BTCUSDT&side=BUY&type=LIMIT&timeInForce=GTC&quantity=0.010&price=%.1f&timestamp=%d" % (
                price * 1.05, int(time.time() * 1000))
            status, body = request("POST", ex.rest("usdm") + "/fapi/v1/order?" + sign(secret, query), key)
            check("limit order accepted", status == 200 and json.loads(body)["status"] == "NEW", body)
            events = []
            while len(events) < 3:
                events.append(json.loads(await asyncio.wait_for(user.recv(), 3)))
            kinds = [(e["e"], e.get("o", {}).get("X")) for e in events]
            check("the user stream reports the order new, then filled",
                  kinds[0] == ("ORDER_TRADE_UPDATE", "NEW") and kinds[1] == ("ORDER_TRADE_UPDATE", "FILLED"), kinds)
            account = events[2]
            check("and the position in ACCOUNT_UPDATE", account["e"] == "ACCOUNT_UPDATE" and
                  account["a"]["P"][0]["pa"] == "0.01000000", account)
            status, body = request("GET", ex.rest("usdm") + "/fapi/v2/positionRisk?" +
                                   sign(secret, "symbol=BTCUSDT&timestamp=%d" % int(time.time() * 1000)), key)
            check("position information agrees", json.loads(body)[0]["positionAmt"] == "0.010", body)
    with Exchange("--legacy", "--listen-key-validity-ms", "300") as ex:
        status, body = request("POST", ex.rest() + "/api/v3/userDataStream", key)
        listen_key = json.loads(body)["listenKey"]
        async with websockets.connect(ex.ws() + "/ws/" + listen_key, ping_interval=None) as user:
            message = await asyncio.wait_for(user.recv(), 3)
            check("a key not kept alive expires with listenKeyExpired", message.startswith('{"e": "listenKeyExpired"'), message)


async def wsapi_checks():
    key, secret = "qmt-sim-key", "qmt-sim-secret"
    with Exchange() as ex:
        async with websockets.connect(ex.ws() + "/ws-api/v3", ping_interval=None) as ws:
            def subscribe(request_id, the_secret):
                now = int(time.time() * 1000)
                payload = "apiKey=%s&recvWindow=5000&timestamp=%d" % (key, now)
                signature = hmac.new(the_secret.encode(), payload.encode(), hashlib.sha256).hexdigest()
                return json.dumps({"id": request_id, "method": "userDataStream.subscribe.signature",
                                   "params": {"apiKey": key, "recvWindow": 5000, "timestamp": now, "signature": signature}})
            await ws.send(subscribe("bad", "not-the-secret"))
            answer = json.loads(await asyncio.wait_for(ws.recv(), 3))
            check("WebSocket API: a wrong signature is refused with -1022",
                  answer["id"] == "bad" and answer["status"] == 400 and answer["error"]["code"] == -1022, answer)
            await ws.send(subscribe("good", secret))
            answer = json.loads(await asyncio.wait_for(ws.recv(), 3))
            check("WebSocket API: the signed subscription is accepted",
                  {k: v for k, v in answer.items() if k != "rateLimits"} == {"id": "good", "status": 200, "result": {"subscriptionId": 0}}
                  and isinstance(answer.get("rateLimits"), list), answer)
            query = "symbol=BTCUSDT&side=BUY&type=MARKET&quantity=0.01&timestamp=%d" % int(time.time() * 1000)
            status, body = request("POST", ex.rest() + "/api/v3/order?" + sign(secret, query), key)
            events = [json.loads(await asyncio.wait_for(ws.recv(), 3)) for _ in range(3)]
            kinds = [(e.get("subscriptionId"), e["event"]["e"], e["event"].get("X")) for e in events]
            check("and the account's events come wrapped", kinds[0] == (0, "executionReport", "NEW") and
                  kinds[1] == (0, "executionReport", "FILLED") and kinds[2][1] == "outboundAccountPosition", kinds)


async def first_event(ws, timeout=3):
    """The first message that is not an answer to a control message, or None."""
    try:
        while True:
            message = json.loads(await asyncio.wait_for(ws.recv(), timeout))
            if "id" not in message:
                return message
    except asyncio.TimeoutError:
        return None


async def today_checks():
    # Today's rules are the default.
    with Exchange("--server-shutdown-ms", "300", "--server-shutdown-grace-ms", "300") as ex:
        status, body = request("POST", ex.rest() + "/api/v3/userDataStream", "qmt-sim-key")
        check("today: spot listen keys answer as retired", status == 410, (status, body))
        async with websockets.connect(ex.ws("usdm") + "/ws/btcusdt@aggTrade", ping_interval=None) as ws:
            check("today: an unrouted USDT-margined connection gets no trades", await first_event(ws, 1.5) is None)
        async with websockets.connect(ex.ws("usdm") + "/ws/btcusdt@depth20@100ms", ping_interval=None) as ws:
            message = await first_event(ws)
            check("today: an unrouted USDT-margined connection gets books", message and message.get("e") == "depthUpdate", message)
        async with websockets.connect(ex.ws("usdm") + "/market/ws/btcusdt@kline_1m", ping_interval=None) as ws:
            message = await first_event(ws)
            check("today: the routed market path serves klines", message and message.get("e") == "kline", message)
        async with websockets.connect(ex.ws("usdm") + "/market/ws", ping_interval=None) as ws:
            await ws.send('{"method": "SUBSCRIBE", "params":["btcusdt@depth20@500ms"], "id": 1}')
            check("today: books are not served on /market", await first_event(ws, 1.5) is None)
        async with websockets.connect(ex.ws("usdm") + "/public/ws", ping_interval=None) as ws:
            await ws.send('{"method": "SUBSCRIBE", "params":["btcusdt@depth20@500ms", "btcusdt@ticker"], "id": 1}')
            message = await first_event(ws)
            check("today: /public serves books", message and message.get("e") == "depthUpdate", message)
        async with websockets.connect(ex.ws() + "/ws", ping_interval=None) as ws:
            message = await first_event(ws, 2)
            check("serverShutdown is announced on spot", message == {"e": "serverShutdown", "E": message and message.get("E")}, message)
            closed = False
            try:
                await asyncio.wait_for(ws.recv(), 2)
            except websockets.ConnectionClosed:
                closed = True
            except asyncio.TimeoutError:
                pass
            check("and the connection closed after its grace time", closed)
    with Exchange("--legacy") as ex:
        status, body = request("POST", ex.rest() + "/api/v3/userDataStream", "qmt-sim-key")
        check("--legacy: spot listen keys work as before", status == 200, (status, body))
        async with websockets.connect(ex.ws("usdm") + "/ws/btcusdt@aggTrade", ping_interval=None) as ws:
            message = await first_event(ws)
            check("--legacy: unrouted USDT-margined trades", message and message.get("e") == "aggTrade", message)


def rule_checks():
    key, secret = "qmt-sim-key", "qmt-sim-secret"
    with Exchange("--clock-offset-ms", "-7000") as ex:
        status, body = request("GET", ex.rest() + "/api/v3/time")
        offset = json.loads(body)["serverTime"] - time.time() * 1000
        check("the clock offset shows in the server time", -7600 < offset < -6400, offset)
        status, body = request("GET", ex.rest() + "/api/v3/account?" + sign(secret, "timestamp=%d" % int(time.time() * 1000)), key)
        check("a timestamp of the machine's clock is 7 s ahead: -1021", status == 400 and json.loads(body)["code"] == -1021, body)
    with Exchange("--refuse", "/api/v3/exchangeInfo=418:1") as ex:
        try:
            with urllib.request.urlopen(ex.rest() + "/api/v3/exchangeInfo", timeout=5):
                banned = None
        except urllib.error.HTTPError as error:
            banned = (error.code, error.headers.get("Retry-After"))
        check("a refused path answers 418 with Retry-After", banned == (418, "1"), banned)
        status, _ = request("GET", ex.rest() + "/api/v3/ping")
        check("every path is refused during the ban", status == 418, status)
        time.sleep(1.1)
        status, _ = request("GET", ex.rest() + "/api/v3/exchangeInfo")
        check("and answered again once it has passed", status == 200, status)
    with Exchange() as ex:
        now = int(time.time() * 1000)
        query = "symbol=BTCUSDT&side=BUY&type=STOP_MARKET&quantity=0.01&stopPrice=99999&timestamp=%d" % now
        status, body = request("POST", ex.rest("usdm") + "/fapi/v1/order?" + sign(secret, query), key)
        check("today: a stop on /fapi/v1/order answers -4120", status == 400 and json.loads(body)["code"] == -4120, body)
        query = ("algoType=CONDITIONAL&symbol=BTCUSDT&side=BUY&type=STOP_MARKET&quantity=0.01&triggerPrice=99999"
                 "&clientAlgoId=qmt-stop&timestamp=%d" % now)
        status, body = request("POST", ex.rest("usdm") + "/fapi/v1/algoOrder?" + sign(secret, query), key)
        check("the algo endpoint takes it", status == 200 and json.loads(body)["algoStatus"] == "NEW", body)
        status, body = request("GET", ex.rest("usdm") + "/fapi/v1/openAlgoOrders?" + sign(secret, "timestamp=%d" % now), key)
        check("and lists it open", status == 200 and json.loads(body)[0]["clientAlgoId"] == "qmt-stop", body)
        status, body = request("DELETE", ex.rest("usdm") + "/fapi/v1/algoOpenOrders?" +
                               sign(secret, "symbol=BTCUSDT&timestamp=%d" % now), key)
        check("cancel-all of algo orders", status == 200 and json.loads(body)["code"] == 200, body)
        status, body = request("GET", ex.rest("usdm") + "/fapi/v1/openAlgoOrders?" + sign(secret, "timestamp=%d" % now), key)
        check("leaves none open", status == 200 and json.loads(body) == [], body)
    with Exchange("--orders-503", "1") as ex:
        query = "symbol=BTCUSDT&side=BUY&type=MARKET&quantity=0.01&newClientOrderId=qmt-lost&timestamp=%d" % int(time.time() * 1000)
        status, body = request("POST", ex.rest("usdm") + "/fapi/v1/order?" + sign(secret, query), key)
        check("an order answered 503", status == 503, (status, body))
        query = "symbol=BTCUSDT&origClientOrderId=qmt-lost&timestamp=%d" % int(time.time() * 1000)
        status, body = request("GET", ex.rest("usdm") + "/fapi/v1/order?" + sign(secret, query), key)
        check("was placed all the same", status == 200 and json.loads(body)["clientOrderId"] == "qmt-lost", (status, body))


def tls_checks():
    # A certificate made here; the check reads the answer with the openssl command-line client.
    folder = subprocess.run(["mktemp", "-d"], capture_output=True, text=True).stdout.strip()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "1", "-subj", "/CN=localhost", "-keyout", folder + "/k.pem", "-out", folder + "/c.pem"],
                   capture_output=True, check=True)
    with Exchange("--tls-cert", folder + "/c.pem", "--tls-key", folder + "/k.pem") as ex:
        answer = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:" + ex.ports["spot-tls"], "-quiet"],
                                input="GET /api/v3/ping HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                capture_output=True, text=True, timeout=10).stdout
        check("TLS with the given certificate", "200 OK" in answer and answer.rstrip().endswith("{}"), answer[-200:])
    subprocess.run(["rm", "-rf", folder])


def main():
    tls_checks()
    asyncio.run(today_checks())
    asyncio.run(wsapi_checks())
    rule_checks()
    signing_checks()
    asyncio.run(stream_checks())
    asyncio.run(order_checks())
    passed = sum(RESULTS)
    print("%d passed, %d failed" % (passed, len(RESULTS) - passed))
    return 0 if passed == len(RESULTS) else 1


if __name__ == "__main__":
    sys.exit(main())
