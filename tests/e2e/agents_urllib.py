"""An agent written with Python's urllib, configured the way its users configure it: a ProxyHandler
names the proxy with its credentials, and an SSL context trusts the proxy's CA.
usage: agents_urllib.py BASE LARGE PROXY CA. Prints what it got back as one JSON object."""
import hashlib
import json
import ssl
import sys
import urllib.error
import urllib.request

base, large, proxy, ca = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
opener = urllib.request.build_opener(
    urllib.request.ProxyHandler({"https": proxy}),
    urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=ca)))


def open_url(path, headers=None):
    try:
        return opener.open(urllib.request.Request(base + path, headers=headers or {}), timeout=60)
    except urllib.error.HTTPError as e:  # an error response, with its body
        return e


def small(path, headers=None):
    with open_url(path, headers) as r:
        return {"status": r.status, "body": r.read().decode()}


def streamed(path):
    digest, size = hashlib.sha256(), 0
    with open_url(path) as r:
        while chunk := r.read(64 * 1024):
            digest.update(chunk)
            size += len(chunk)
        return {"status": r.status, "bytes": size, "sha256": digest.hexdigest()}


print(json.dumps({
    "header_ref": small("/ref", {"Authorization": "Bearer quorbelt://api/token"}),
    "url_match": small("/match"),
    "refused": small("/steal", {"Authorization": "Bearer quorbelt://billing/token"}),
    "large": streamed("/download?n=%d" % large),
}))
