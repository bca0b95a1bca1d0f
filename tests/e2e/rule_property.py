#!/usr/bin/python3
"""Randomised legacy rule files against a real third-party rule parser.

For each of --runs conversions this writes a random pair of legacy rule
files whose values are full of '"', ';', '\\', '(', ')', '[' and ']', packs
them into a backup, converts it with mervex and checks the property:

- either the conversion fails, naming exactly the rule and key that were made
  unwritable on purpose (at most one per conversion), or
- it completes, and every line of cfg.rules parses with suricata-update's
  rule parser into one rule whose enabled state, action, msg, sid, priority,
  header, content and pcre read back what cfgRule says, whose options are
  exactly those the writer means to write, in order, and the parser's file
  reader (parse_file) gives exactly one rule per line.

It must run where mervex may use /opt, that is inside the tests' private
mount namespace, with Debian's python3 (the parser is Debian's
suricata-update). It prints one line per problem found and a closing line
"conversions: N, completed: C, failed as expected: F, problems: P"; the exit
status is 0 when there was no problem.
"""

import argparse
import io
import os
import random
import re
import subprocess
import sys
import tarfile
import tempfile

from suricata.update import rule as suricata_rule

TEXT_NOISE = ['"', ';', '\\', '(', ')', '[', ']', ' ', ',', ':', '-', '$', '|', '\u00e9']
QUOTED_NOISE = ['(', ')', '[', ']', '\\', ',', ':', '-', '$', '|', '=', '*']
PATTERN_NOISE = ['"', ';', '(', ')', '[', ']', '|', '^', '$', '.', '*', '\\d', '\\s', '\\w']
ACTIONS = ['allow', 'drop', 'alert', 'pass', 'reject']
PROTOCOLS = ['tcp', 'udp', 'icmp', 'ip', 'smb', 'any', '1', '01', '6', '17', '47', 'egp',
             'hmp', 'xns-idp', 'rdp', 'rvd']
NAMED_NUMBERS = {'egp': '8', 'hmp': '20', 'xns-idp': '22', 'rdp': '27', 'rvd': '66'}

# Ways to make one value unwritable, by the key they break.
BREAKERS = {
    'access': lambda r: r.choice(['', 'Allow', 'log', 'sdrop', 'pass\x01']),
    'message': lambda r: 'a' + r.choice(['\t', '\r', '\x01', '\x1b', '\x7f']) + 'b',
    'content': lambda r: 'x' + r.choice(['\t', '\x02']) + 'y',
    'exefile': lambda r: r.choice(['a"b', 'a;b', 'C:\\dir\\', 'tab\there']),
    'schedule': lambda r: r.choice(['Mon"', 'x;y', 'end\\']),
    'adapters': lambda r: r.choice(['eth0;', 'eth"0', 'eth0\\']),
    'wildcard': lambda r: r.choice(['*"', '*;', '*\\']),
    'regexp': lambda r: r.choice(['a\\;b', 'a\\"b', 'a\\', 'a\tb']),
    'local_addrs': lambda r: r.choice(['[10.0.0.1]', '10.0.0.1,(x)', '10.0.0.1;', '"x"']),
    'remote_addrs': lambda r: r.choice(['10.0.0.1]', '(10.0.0.0/8)']),
    'local_ports': lambda r: r.choice(['80;', '[80]', '80)']),
    'remote_ports': lambda r: r.choice(['"443"', '443(']),
}
SYSTEM_BREAKABLE = ['access', 'message', 'content', 'exefile', 'schedule', 'adapters',
                    'local_addrs', 'remote_addrs']
FLOW_BREAKABLE = ['access', 'message', 'content', 'exefile', 'schedule', 'wildcard', 'regexp',
                  'local_addrs', 'remote_addrs', 'local_ports', 'remote_ports']


def noisy(rng, noise, length):
    return ''.join(rng.choice(noise) if rng.random() < 0.4 else rng.choice('abcXYZ019')
                   for _ in range(length))


def word_free(value):
    """A value of a key other than message and schedule: the reader removes
    spaces, so none is generated; it must not end with a carriage return."""
    return value.replace(' ', '')


def text_value(rng):
    # Inner spaces stay, outer ones are trimmed by the reader: none at the ends.
    return 'm' + noisy(rng, TEXT_NOISE, rng.randint(0, 20)) + 'z'


def addresses(rng):
    items = [rng.choice(['10.0.0.%d' % rng.randint(0, 255), '192.168.0.0/16', '!10.1.0.0/16',
                         '$HOME_NET', 'fe80::1', '']) for _ in range(rng.randint(1, 3))]
    return ','.join(items)


def ports(rng):
    items = [rng.choice([str(rng.randint(0, 65535)), '%d-%d' % (rng.randint(0, 99),
                                                                rng.randint(100, 65535)),
                         '1-2-3', '-5', '5-', '!80', '']) for _ in range(rng.randint(1, 3))]
    return ','.join(items)


def pattern(rng):
    value = noisy(rng, PATTERN_NOISE, rng.randint(1, 16))
    # A backslash of the pattern must not stand before '"' or ';' or at its end.
    value = value.replace('\\"', '\\d"').replace('\\;', '\\d;')
    return value + ('' if not value.endswith('\\') else 'd')


def quoted(rng):
    value = noisy(rng, QUOTED_NOISE, rng.randint(1, 12)).replace(' ', '')
    return value + ('x' if value.endswith('\\') else '')


def common_values(rng, rule):
    rule['message'] = text_value(rng)
    rule['access'] = rng.choice(ACTIONS)
    rule['proto'] = rng.choice(PROTOCOLS)
    for key, maker, chance in [('local_addrs', addresses, 0.5), ('remote_addrs', addresses, 0.5),
                               ('exefile', quoted, 0.4), ('schedule', quoted, 0.3),
                               ('content', lambda r: word_free(text_value(r)), 0.5)]:
        if rng.random() < chance:
            rule[key] = maker(rng)
    for flag in ['substr', 'nocase', 'audit', 'enable', 'default']:
        if rng.random() < 0.5:
            rule[flag] = rng.choice(['true', 'false'])


def system_rule(rng, number):
    rule = {'id': str(number), 'order': str(rng.randint(0, 50))}
    common_values(rng, rule)
    if rng.random() < 0.4:
        rule['adapters'] = quoted(rng)
    if rule['proto'] in ('icmp', '1', '01') or rng.random() < 0.2:
        rule['icmp_type'] = rng.choice(['', '0', '8', '-1'])
        rule['icmp_code'] = rng.choice(['', '0', '3', '-1'])
    send, receive = rng.choice([('true', 'true'), ('true', 'false'), ('false', 'true')])
    rule['icmp_send'], rule['icmp_receive'] = send, receive
    return rule


def flow_rule(rng, number):
    rule = {'id': str(number), 'order': str(rng.randint(0, 50))}
    common_values(rng, rule)
    rule['direction'] = rng.choice(['in', 'out', 'inout'])
    for key, maker, chance in [('local_ports', ports, 0.5), ('remote_ports', ports, 0.5),
                               ('wildcard', quoted, 0.3), ('regexp', pattern, 0.5)]:
        if rng.random() < chance:
            rule[key] = maker(rng)
    return rule


def legacy_file(rules, crlf):
    end = '\r\n' if crlf else '\n'
    text = ''
    for rule in rules:
        for key, value in rule.items():
            text += key + ' ' + value + end
        text += end
    return text


def read_unified(text):
    rules, rule = [], {}
    for line in text.split('\n'):
        if line == '':
            if rule:
                rules.append(rule)
            rule = {}
            continue
        rule[line[:19].rstrip(' ')] = line[19:]
    return rules


def unescape(value, specials):
    return re.sub(r'\\([' + re.escape(specials) + '])', r'\1', value)


def header_list(value, port):
    if value == '':
        return 'any'
    items = []
    for item in value.split(','):
        if port:
            parts = item.split('-')
            item = parts[0] + ': ' + parts[1] if len(parts) == 2 else parts[0]
        items.append(item)
    return '[' + ', '.join(items) + ']'


def classify(protocol):
    """Header word, ip_proto number (or None), ICMP."""
    if protocol in ('tcp', 'udp', 'icmp', 'ip', 'smb'):
        return protocol, None, protocol == 'icmp'
    if protocol.isdigit() and protocol.isascii():
        return 'ip', protocol, int(protocol) == 1
    if protocol == 'any':
        return 'ip', None, False
    return 'ip', NAMED_NUMBERS[protocol], False


def expected_options(u):
    word, ip_proto, icmp = classify(u['protocol'])
    names = ['msg']
    if ip_proto is not None:
        names.append('ip_proto')
    if icmp and u.get('icmp_type', '') != '':
        names.append('itype')
    if icmp and u.get('icmp_code', '') != '':
        names.append('icode')
    if u['action'] == 'allow':
        names.append('inverse')
    if u['exefile']:
        names.append('exefile')
        if u['substr'] == 'true':
            names.append('substr')
        if u['nocase'] == 'true':
            names.append('nocase')
    if u['audit'] == 'false':
        names.append('noalert')
    if u['alarm'] == 'true':
        names.append('alarm')
    for key, option in [('content', 'content'), ('wildcard', 'wildcard'), ('regexp', 'pcre')]:
        if u[key]:
            names.append(option)
            if u['nocase'] == 'true':
                names.append('nocase')
    if u['schedule']:
        names.append('schedule')
    return names + ['priority', 'iface', 'sid']


def option_list(line):
    """The options of a rule line as (name, value) pairs, split the way the
    third-party parser splits them."""
    match = suricata_rule.rule_pattern.match(line.strip())
    options, found = match.group('options'), []
    while options:
        end = suricata_rule.find_opt_end(options)
        option = options[:end].strip()
        options = options[end + 1:].strip()
        name, _, value = option.partition(':')
        found.append((name.strip(), value.strip()))
    return found


def quoted_option(value):
    if not (len(value) >= 2 and value.startswith('"') and value.endswith('"')):
        raise ValueError('not quoted: ' + value)
    return value[1:-1]


def check_line(line, u, problems, where):
    def expect(what, actual, wanted):
        if actual != wanted:
            problems.append('%s: %s is %r, cfgRule says %r' % (where, what, actual, wanted))

    parsed = suricata_rule.parse(line)
    if parsed is None:
        problems.append('%s: the parser does not read %r' % (where, line))
        return
    word, _, _ = classify(u['protocol'])
    expect('enabled', parsed['enabled'], u['enable'] == 'true')
    expect('action', parsed['action'], 'drop' if u['action'] == 'allow' else u['action'])
    expect('proto', parsed['proto'], word)
    expect('source_addr', parsed['source_addr'], header_list(u['local_addrs'], False))
    expect('source_port', parsed['source_port'], header_list(u['local_ports'], True))
    expect('dest_addr', parsed['dest_addr'], header_list(u['remote_addrs'], False))
    expect('dest_port', parsed['dest_port'], header_list(u['remote_ports'], True))
    expect('msg', unescape(parsed['msg'], '\\";'), u['message'])
    expect('sid', parsed['sid'], int(u['id']))
    expect('priority', parsed['priority'], u['order'])
    options = option_list(line)
    expect('options', [name for name, _ in options], expected_options(u))
    values = dict(options)
    if u['content']:
        expect('content', unescape(quoted_option(values['content']), '\\";'), u['content'])
    if u['regexp']:
        expect('pcre', unescape(quoted_option(values['pcre']), '";'), u['regexp'])
    for key, option in [('exefile', 'exefile'), ('wildcard', 'wildcard'),
                        ('schedule', 'schedule')]:
        if u[key]:
            expect(option, quoted_option(values[option]), u[key])
    expect('iface', quoted_option(values['iface']),
           (u['adapters'] or '*') + '=' + u['direction'])


def convert(mervex, work, rng, index, problems):
    where = 'conversion %d' % index
    systems = [system_rule(rng, n) for n in range(1, rng.randint(0, 6) + 1)]
    flows = [flow_rule(rng, n) for n in range(1, rng.randint(1, 6) + 1)]
    broken = None
    if rng.random() < 0.4:
        kind = rng.choice(['system', 'flow']) if systems else 'flow'
        rules = systems if kind == 'system' else flows
        rule = rng.choice(rules)
        key = rng.choice(SYSTEM_BREAKABLE if kind == 'system' else FLOW_BREAKABLE)
        rule[key] = BREAKERS[key](rng)
        broken = ('system rule ' if kind == 'system' else 'network flow rule ') + rule['id'], key
    crlf = rng.random() < 0.2

    backup = os.path.join(work, 'backup%d.tar.gz' % index)
    with tarfile.open(backup, 'w:gz') as archive:
        for name, rules in [('cfgSystemRule', systems), ('cfgNetworkFlowRule', flows)]:
            data = legacy_file(rules, crlf).encode('utf-8')
            info = tarfile.TarInfo('opt/varno-firewall/etc/firewall/rules/' + name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    run = subprocess.run([mervex, '--file', backup], capture_output=True)
    out = run.stdout.decode('utf-8', 'replace').splitlines()
    os.unlink(backup)

    if broken is not None:
        rule_name, key = broken
        wanted = "Value '.*' of '%s' of %s can't be written as a rule!" % (key, rule_name)
        messages = out[:-1]
        if run.returncode != 2 or out[-1:] != ['Conversion failed!'] or len(messages) != 1 or \
                not re.fullmatch(wanted, messages[0]):
            problems.append('%s: %s of %s was broken, mervex printed %r (status %d)'
                            % (where, key, rule_name, out, run.returncode))
        return 'failed'
    if run.returncode != 0 or out[-1:] != ['Conversion completed!']:
        problems.append('%s: a writable input was refused: %r' % (where, out))
        return 'refused'

    archive_path = out[-2][len('Output archive: '):]
    with tarfile.open(archive_path) as archive:
        unified_text = archive.extractfile(
            './opt/varno-firewall/etc/firewall/rules/cfgRule').read().decode('utf-8')
        rules_bytes = archive.extractfile(
            './opt/varno-firewall/etc/suricata/rules/cfg.rules').read()
    os.unlink(archive_path)
    unified = read_unified(unified_text)
    lines = rules_bytes.decode('utf-8').split('\n')
    if lines[-1] != '':
        problems.append('%s: cfg.rules does not end with a line feed' % where)
    lines = lines[:-1]
    if len(unified) != len(systems) + len(flows) or len(lines) != len(unified):
        problems.append('%s: %d legacy rules, %d unified rules, %d rule lines'
                        % (where, len(systems) + len(flows), len(unified), len(lines)))
        return 'completed'
    for number, (line, u) in enumerate(zip(lines, unified), 1):
        try:
            check_line(line, u, problems, '%s, line %d' % (where, number))
        except (KeyError, ValueError, AttributeError, IndexError) as error:
            problems.append('%s, line %d: %r does not read back: %r' % (where, number, line, error))
    rules_file = os.path.join(work, 'cfg.rules')
    with open(rules_file, 'wb') as f:
        f.write(rules_bytes)
    if len(suricata_rule.parse_file(rules_file)) != len(lines):
        problems.append('%s: parse_file reads %d rules from %d lines'
                        % (where, len(suricata_rule.parse_file(rules_file)), len(lines)))
    return 'completed'


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--mervex', required=True)
    parser.add_argument('--runs', type=int, default=300)
    parser.add_argument('--seed', type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    problems, outcomes = [], {'completed': 0, 'failed': 0, 'refused': 0}
    with tempfile.TemporaryDirectory() as work:
        for index in range(args.runs):
            outcomes[convert(args.mervex, work, rng, index, problems)] += 1
    for problem in problems:
        print(problem)
    print('seed: %d' % seed)
    print('conversions: %d, completed: %d, failed as expected: %d, problems: %d'
          % (args.runs, outcomes['completed'], outcomes['failed'], len(problems)))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
