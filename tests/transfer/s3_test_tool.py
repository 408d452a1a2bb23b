#!/usr/bin/python3
"""What the S3 end-to-end tests need of the test gateway (tests/s3/ceph_gateway.py), whose
gateway.json is named by QIRAVEL_S3_GATEWAY. Signed with the gateway user's keys.

    s3_test_tool.py get KEY          the object's bytes on standard output; exit 1 when missing
    s3_test_tool.py put KEY FILE     stores the file under the key
    s3_test_tool.py uploads          keys of the bucket's unfinished multipart uploads, one a line
    s3_test_tool.py parts KEY        numbers of the parts stored by the key's unfinished upload
    s3_test_tool.py relay RATE       forwards a port of 127.0.0.1 (printed) to the gateway, at
                                     most RATE bytes a second per connection and direction; on
                                     SIGUSR1 it goes away as a stopped gateway does: connections
                                     cut, new ones refused
"""

import os
import signal
import sys
import urllib.parse
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "s3"))
from ceph_gateway import CephGateway  # noqa: E402
from relay import Relay  # noqa: E402


def object_path(gw, key):
    return "/%s/%s" % (gw.info["bucket"], urllib.parse.quote(key, safe="/-_.~"))


def relay(gw, rate):
    def stop(*_):
        forward.cut()
        os._exit(0)

    forward = Relay(gw.info["endpoint"], rate)
    signal.signal(signal.SIGUSR1, stop)
    print(forward.port, flush=True)
    while True:
        signal.pause()


def main():
    gw = CephGateway.attach(os.path.dirname(os.environ["QIRAVEL_S3_GATEWAY"]))
    command = sys.argv[1]
    if command == "get":
        status, body = gw.request("GET", object_path(gw, sys.argv[2]))
        if status != 200:
            sys.exit("GET answered %d" % status)
        sys.stdout.buffer.write(body)
    elif command == "put":
        with open(sys.argv[3], "rb") as f:
            status, _ = gw.request("PUT", object_path(gw, sys.argv[2]), body=f.read())
        sys.exit(0 if status == 200 else "PUT answered %d" % status)
    elif command == "uploads":
        status, body = gw.request("GET", "/%s?uploads" % gw.info["bucket"])
        if status != 200:
            sys.exit("listing the uploads answered %d" % status)
        for element in ET.fromstring(body).iter():
            if element.tag.split("}")[-1] == "Key":
                print(element.text)
    elif command == "parts":
        status, body = gw.request("GET", "/%s?uploads&prefix=%s" % (gw.info["bucket"], urllib.parse.quote(sys.argv[2])))
        for element in ET.fromstring(body).iter():
            if element.tag.split("}")[-1] == "UploadId":
                status, body = gw.request("GET", "%s?uploadId=%s" % (object_path(gw, sys.argv[2]), urllib.parse.quote(element.text, safe="-_.~")))
                for part in ET.fromstring(body).iter():
                    if part.tag.split("}")[-1] == "PartNumber":
                        print(part.text)
    elif command == "relay":
        relay(gw, float(sys.argv[2]))


if __name__ == "__main__":
    main()
