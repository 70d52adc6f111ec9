"""An agent written with Python requests, configured the way its users configure it: HTTPS_PROXY
names the proxy with its credentials and REQUESTS_CA_BUNDLE the proxy's CA. Prints what it got back
as one JSON object."""
import hashlib
import json
import sys

import requests

base, large = sys.argv[1], int(sys.argv[2])


def small(path, headers=None):
    r = requests.get(base + path, headers=headers or {}, timeout=60)
    return {"status": r.status_code, "body": r.text}


def streamed(path):
    digest, size = hashlib.sha256(), 0
    with requests.get(base + path, stream=True, timeout=60) as r:
        for chunk in r.iter_content(chunk_size=64 * 1024):
            digest.update(chunk)
            size += len(chunk)
        return {"status": r.status_code, "bytes": size, "sha256": digest.hexdigest()}


print(json.dumps({
    "header_ref": small("/ref", {"Authorization": "Bearer quorbelt://api/token"}),
    "url_match": small("/match"),
    "refused": small("/steal", {"Authorization": "Bearer quorbelt://billing/token"}),
    "large": streamed("/download?n=%d" % large),
}))
