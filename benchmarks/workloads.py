"""Input data of the benchmark workloads, and the results a validator must give.

Every builder is deterministic, so two runs validate the same data.  The
peers' schemas live in ``peer_quarn``, ``peer_pydantic`` and
``peer_voluptuous``; each exposes one factory per workload name below.
"""

# Default values and the fallback source of W3: the same in every peer.
DEFAULT_MTU = 1500
DEFAULT_DESCRIPTION = 'unassigned'
SITE = 'lab-1'


def flat_int_map(size):
    """W1: ``{str: int}`` with ``size`` keys."""
    return {'key%05d' % i: i for i in range(size)}


def _interface(i):
    """One interface record of W2; fields vary with ``i`` so that the
    optional keys are present on some interfaces and absent on others."""
    counters = {'in_pkts': 1000 + i, 'out_pkts': 2000 + i}
    if i % 3 == 0:
        counters['in_errors'] = i % 7
    record = {'oper_status': 'up' if i % 5 else 'down',
              'enabled': bool(i % 4),
              'counters': counters}
    if i % 2 == 0:
        record['mtu'] = 9000
    if i % 4 != 3:
        record['ipv4'] = {
            '10.%d.%d.1/24' % (i // 256, i % 256): {
                'ip': '10.%d.%d.1' % (i // 256, i % 256), 'prefix_length': 24},
        }
    return record


def interface_name(i):
    return 'GigabitEthernet0/%d' % i


def interfaces(count):
    """W2: ``count`` interface records under ``'interfaces'``."""
    return {'interfaces': {interface_name(i): _interface(i) for i in range(count)}}


def interfaces_with_defaults(count):
    """W3 input: W2 records, some with a description or a site of their own,
    and the top-level ``'site'`` that a missing interface site falls back to."""
    data = interfaces(count)
    for i, record in enumerate(data['interfaces'].values()):
        if i % 10 == 0:
            record['description'] = 'uplink %d' % i
        if i % 50 == 0:
            record['site'] = 'lab-2'
    data['site'] = SITE
    return data


def interfaces_with_defaults_expected(count):
    """What W3's validation returns: every interface has an mtu, a
    description and a site."""
    expected = interfaces_with_defaults(count)
    for record in expected['interfaces'].values():
        record.setdefault('mtu', DEFAULT_MTU)
        record.setdefault('description', DEFAULT_DESCRIPTION)
        record.setdefault('site', SITE)
    return expected


def bad_interfaces(count):
    """W5: W2 data with a string where the last interface's counters hold
    an int, so the error is found as late as possible."""
    data = interfaces(count)
    last = data['interfaces'][interface_name(count - 1)]
    last['counters']['out_pkts'] = 'many'
    return data


def conversions(count):
    """W4: ``count`` entries, each for ``Or(int, str)`` (half ints, half
    strings), ``And(str, Use(len))`` and ``Use(int)`` on a string."""
    return {'entry%05d' % i: {'value': i if i % 2 else 'v%d' % i,
                              'name': 'name-%d' % i,
                              'count': str(i)}
            for i in range(count)}


def conversions_expected(count):
    return {key: {'value': entry['value'], 'name': len(entry['name']),
                  'count': int(entry['count'])}
            for key, entry in conversions(count).items()}


def device_record():
    """W6: one flat record of ten keys."""
    return {'hostname': 'r1', 'os': 'iosxe', 'platform': 'cat9k',
            'port': 22, 'enabled': True, 'timeout': 30.0, 'retries': 3,
            'username': 'admin', 'vrf': 'mgmt', 'mtu': 1500}
