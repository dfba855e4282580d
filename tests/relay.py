# The SMTP peers of the tests, on free loopback ports listed in <spool>/ports.
# Mode "relay" or "relay2" (two ports): the system's aiosmtpd, adding each
# mail to <spool>/mails as sender, recipients joined by ",", and the data,
# NUL between and \1 after, before its "250" goes out, and a summary of it
# as Python's email package reads it to <spool>/decoded. Mode "starttls" or
# "tls" (TLS from the start): the same, after making with openssl ca.pem,
# other-ca.pem and a certificate for localhost and 127.0.0.1, signed by ca.pem;
# both demand TLS before AUTH and accept user "kavrel", password "s3cret pass"
# (starttls demands the login, and offers AUTH LOGIN alone on a second port).
# A letter: a scripted server adding what it receives to <spool>/received
# (and each mail's summary to <spool>/decoded), each connection between "|"
# and "#": S answers like a relay, q stays silent, c closes at once, r
# refuses everything; like S, m answers EHLO with extensions and every reply
# in 3-byte pieces, x refuses the second RCPT, n every RCPT, d the data, b
# answers EHLO with 10 kB, e refuses EHLO, t refuses STARTTLS.
# Mode "host", for tests that run on another system (Windows under Wine):
# starts the relay a test asks for by <spool>/<name>/mode in that directory,
# and stops it and removes the directory at <name>/stop, while <spool>/host is there.
import asyncio, email, email.policy, email.utils, logging, os, shutil, ssl, subprocess, sys, time
from aiosmtpd.smtp import SMTP, AuthResult

spool, mode = sys.argv[1], sys.argv[2]
logging.disable()  # no tracebacks for the handshakes tests make fail


def keep(name, data):
    with open(spool + '/' + name, 'ab') as f:
        f.write(data)


def summary(data):
    m = email.message_from_bytes(data, policy=email.policy.default)
    try:
        date = 'ok' if email.utils.parsedate_to_datetime(m['Date']).tzinfo else f'bad {m["Date"]}'
    except (TypeError, ValueError):
        date = f'bad {m["Date"]}'
    try:
        body = str(m.get_content())
    except Exception as e:
        body = f'<{e!r}>'
    defects = [type(d).__name__ for d in m.defects] + [f'{k}:{type(d).__name__}' for k in m for d in m[k].defects]
    return (f'From: {m["From"]}\nTo: {m["To"]}\nSubject: {m["Subject"]}\nDate: {date}\n'
            f'Message-ID: {m["Message-ID"]}\nMIME-Version: {m["MIME-Version"]}\n'
            f'Content-Type: {m.get_content_type()}; charset={m.get_content_charset()}\n'
            f'CTE: {str(m["Content-Transfer-Encoding"]).lower()}\nDefects: {", ".join(defects) or "none"}\n'
            f'\n{body}' + ('' if body.endswith('\n') else '\n') + '====\n')


class Keeper:
    async def handle_DATA(self, server, session, envelope):
        keep('mails', b'\0'.join([envelope.mail_from.encode(), ','.join(envelope.rcpt_tos).encode(),
                                  envelope.original_content]) + b'\1')
        keep('decoded', summary(envelope.original_content).encode('utf-8', 'backslashreplace'))
        return '250 OK'


def certify():
    def req(name, subject, *more):
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
                        '-noenc', '-days', '2', '-config', '/dev/null', '-subj', subject, '-keyout',
                        f'{spool}/{name}.key', '-out', f'{spool}/{name}.pem', *more], check=True, capture_output=True)
    ca = ('-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign')
    req('ca', '/CN=Kavrel test CA', *ca)
    req('other-ca', '/CN=Other test CA', *ca)
    req('server', '/CN=Kavrel test server', '-CA', f'{spool}/ca.pem', '-CAkey', f'{spool}/ca.key', '-addext',
        'subjectAltName=DNS:localhost,IP:127.0.0.1', '-addext', 'extendedKeyUsage=serverAuth', '-addext', 'basicConstraints=CA:FALSE')
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(f'{spool}/server.pem', f'{spool}/server.key')
    return context


EHLO = {'m': '250-relay.test\r\n250-8BITMIME\r\n250 SIZE 100000\r\n', 'e': '502 not implemented\r\n',
        'b': ('250-' + 'x' * 95 + '\r\n') * 100 + '250 HELP\r\n', 't': '250-relay.test\r\n250 STARTTLS\r\n'}


async def scripted(reader, writer):
    async def say(text):
        for i in range(0, len(text) if mode not in 'qc' else 0, 3 if mode == 'm' else len(text)):
            if i:
                await asyncio.sleep(.02)
            writer.write(text[i:i + (3 if mode == 'm' else len(text))].encode())
    keep('received', b'|')
    await say('220 ready\r\n')
    data, rcpts, mail = False, 0, b''
    while mode != 'c' and (line := await reader.readline()):
        keep('received', line)
        mail += line[line.startswith(b'..'):] if data and line.rstrip(b'\r\n') != b'.' else b''
        text = line.rstrip(b'\r\n')
        verb = text.split(b' ')[0].upper()
        rcpts += verb == b'RCPT' and not data
        if not data or text == b'.':
            await say('550 no\r\n' if mode == 'r' else EHLO[mode] if verb == b'EHLO' and mode in EHLO
                      else '454 TLS not available\r\n' if verb == b'STARTTLS' and mode == 't'
                      else '550 5.1.1 no such user\r\n' if verb == b'RCPT' and (rcpts == 2 or mode == 'n') and mode in 'xn'
                      else '554 5.6.0 rejected as spam\r\n' if data and mode == 'd'
                      else '354 go\r\n' if text == b'DATA' else '250 ok\r\n')
        if data and text == b'.':
            keep('decoded', summary(mail).encode())
        data = text != b'.' if data else text == b'DATA'
    writer.close()
    keep('received', b'#')


async def main():
    loop = asyncio.get_running_loop()
    tls = mode in ('starttls', 'tls') and certify()
    secure = dict(authenticator=lambda *a: AuthResult(success=tuple(a[4]) == (b'kavrel', b's3cret pass'), handled=False))
    secure.update(tls_context=tls, require_starttls=True, auth_required=True) if mode == 'starttls' else secure.update(auth_require_tls=False)
    relay = lambda: SMTP(Keeper(), hostname='relay.test', **(secure if tls else {}))
    servers = [await loop.create_server(relay, '127.0.0.1', 0, ssl=tls if mode == 'tls' else None)
               for _ in range(mode.count('relay') + (mode == 'relay2') + bool(tls))]
    servers += [await asyncio.start_server(scripted, '127.0.0.1', 0)] if len(mode) == 1 else []
    if mode == 'starttls':  # a second port that offers AUTH LOGIN only
        login = lambda: SMTP(Keeper(), hostname='relay.test', auth_exclude_mechanism=['PLAIN'], **secure)
        servers.append(await loop.create_server(login, '127.0.0.1', 0))
    open(spool + '/mails', 'wb').close()
    keep('tmp', ' '.join(str(s.sockets[0].getsockname()[1]) for s in servers).encode())
    os.rename(spool + '/tmp', spool + '/ports')
    await asyncio.Event().wait()


def host():
    relays, until = {}, time.time() + 3600
    open(spool + '/host', 'w').close()
    while os.path.exists(spool + '/host') and time.time() < until:
        for name in os.listdir(spool):
            asked = os.path.exists(f'{spool}/{name}/mode') and open(f'{spool}/{name}/mode').read()
            if asked and name not in relays:
                relays[name] = subprocess.Popen([sys.executable, '-I', __file__, f'{spool}/{name}', asked])
            if os.path.exists(f'{spool}/{name}/stop'):
                if name in relays:
                    relays[name].kill()
                    relays.pop(name).wait()
                shutil.rmtree(f'{spool}/{name}', ignore_errors=True)
        time.sleep(.01)
    for relay in relays.values():
        relay.kill()

host() if mode == 'host' else asyncio.run(main())
