#!/usr/bin/env python3
"""The reference native host of the extension benchmark: answers Initialize with a fixed
response and every ExecuteRequest with its text as one notification and the result 1, so that a
round trip costs the browser's path and nothing of the plug-in."""
import json
import struct
import sys

RESPONSE = '{ "version": "echo", "type": "Response", "code": "Initialize", "support_dragdrop": false }'


def main():
    read, write = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = read.read(4)
        if len(head) < 4:
            return
        message = json.loads(read.read(struct.unpack('=I', head)[0]))
        if message.get('call') == 'Initialize':
            answers = [{'result': RESPONSE}]
        else:
            answers = [{'notify': message.get('request', '')}, {'result': 1}]
        for answer in answers:
            data = json.dumps(answer).encode()
            write.write(struct.pack('=I', len(data)) + data)
        write.flush()


if __name__ == '__main__':
    main()
