# The SMTP peers of the tests, on free loopback ports listed in <spool>/ports.
# Mode "relay" or "relay2" (two ports): the system's aiosmtpd, adding each
# mail to <spool>/mails as sender, recipients joined by ",", and the data,
# NUL between and \1 after, before its "250" goes out. A letter: a scripted
# server adding what it receives to <spool>/received, each connection
# between "|" and "#": S answers like a relay, q stays silent, c closes at
# once, r refuses everything.
import asyncio, os, sys
from aiosmtpd.smtp import SMTP

spool, mode = sys.argv[1], sys.argv[2]


def keep(name, data):
    with open(spool + '/' + name, 'ab') as f:
        f.write(data)


class Keeper:
    async def handle_DATA(self, server, session, envelope):
        keep('mails', b'\0'.join([envelope.mail_from.encode(), ','.join(envelope.rcpt_tos).encode(),
                                  envelope.original_content]) + b'\1')
        return '250 OK'


async def scripted(reader, writer):
    def say(text):
        if mode not in 'qc':
            writer.write(text.encode())
    keep('received', b'|')
    say('220 ready\r\n')
    data = False
    while mode != 'c' and (line := await reader.readline()):
        keep('received', line)
        text = line.rstrip(b'\r\n')
        if not data or text == b'.':
            say('550 no\r\n' if mode == 'r' else '354 go\r\n' if text == b'DATA' else '250 ok\r\n')
        data = text != b'.' if data else text == b'DATA'
    writer.close()
    keep('received', b'#')


async def main():
    loop = asyncio.get_running_loop()
    relay = lambda: SMTP(Keeper(), hostname='relay.test')
    servers = [await loop.create_server(relay, '127.0.0.1', 0) for _ in range(mode.count('relay') + (mode == 'relay2'))]
    servers += [await asyncio.start_server(scripted, '127.0.0.1', 0)] if len(mode) == 1 else []
    open(spool + '/mails', 'wb').close()
    keep('tmp', ' '.join(str(s.sockets[0].getsockname()[1]) for s in servers).encode())
    os.rename(spool + '/tmp', spool + '/ports')
    await asyncio.Event().wait()

asyncio.run(main())
