#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets: small archives in the shapes the test suites use,
documents written by python-docx and openpyxl when they are installed, and bare XML bodies,
which the targets pack into an archive themselves; small container images (header slots in
every state a reader tells apart), and settings payloads for the envelope target.

    python3 fuzz/make_seeds.py OUTDIR   ->  OUTDIR/wordtext/, OUTDIR/spreadsheet/,
                                            OUTDIR/container_image/, OUTDIR/inspect/,
                                            OUTDIR/envelopes/

The seeds of fuzz_container_index carry a wrapped file key, which only the vault code can make:
that target writes them itself (see scripts/fuzz).
"""
import hashlib
import io
import json
import os
import struct
import sys
import zipfile

W = 'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"'
S = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'

WORD_BODIES = [
    f'<w:document {W}><w:body><w:p><w:r><w:t>a</w:t></w:r></w:p><w:p><w:r><w:t>b</w:t><w:tab/>'
    '<w:t>c</w:t><w:br/><w:cr/></w:r></w:p><w:p/></w:body></w:document>',
    '<document><body><p><t xml:space="preserve"> x &amp; &#x20AC; </t><t><![CDATA[<y>]]></t></p>'
    '</body></document>',
    f'<w:document {W} xmlns:v="urn:schemas-microsoft-com:vml"><w:body><w:p><w:r><w:pict><v:shape>'
    '<w:txbxContent><w:p><w:r><w:t>box</w:t></w:r></w:p></w:txbxContent></v:shape></w:pict></w:r>'
    '</w:p></w:body></w:document>',
    '<?xml version="1.0"?><!DOCTYPE d [<!ENTITY e "ee"><!ENTITY f "&e;&e;">]><d><p><t>&f;</t></p></d>',
]

SHARED = (f'<sst {S}><si><t>zero</t></si><si><r><rPr><b/></rPr><t>ri</t></r><r><t>ch</t></r></si>'
          '<si><t>k</t><rPh sb="0" eb="1"><t>p</t></rPh></si></sst>')
SHEETS = [
    f'<worksheet {S}><sheetData><row r="1"><c r="A1" t="s"><v>0</v></c><c r="C1" t="s"><v>1</v>'
    '</c><c r="XFD1"><v>9</v></c></row><row r="3"><c r="$b$3" t="inlineStr"><is><r><t>in</t></r>'
    '<r><t>line</t></r></is></c><c r="D3" t="b"><v>1</v></c><c r="E3"><f>SUM(A1)</f><v>2</v></c>'
    '</row></sheetData></worksheet>',
    '<worksheet><sheetData><row><c r="ABCD1"><v>x</v></c><c><v>y</v></c><c r="A1" t="s"><v>7</v>'
    '</c></row><c r="B2"><v>z</v></c></sheetData></worksheet>',
]


MAGIC = b'KVXSVLT1'
SLOT = 96
FIRST_INDEX = 192
VAULT_ID = b'6f1d2c3b-4a59-4e87-9b6a-0c1d2e3f4a5b'


def header(fmt=5, offset=FIRST_INDEX, capacity=64, length=41, vault_id=VAULT_ID, generation=1,
           checksum=True):
    """One 96-byte header slot: magic, format, reserved, index offset, capacity and length,
    the 36-byte identifier, generation, then a 12-byte BLAKE2b over the first 84 bytes with the
    identifier zeroed (zeros for the legacy format 4)."""
    body = (MAGIC + struct.pack('<II', fmt, 0) + struct.pack('<QQQ', offset, capacity, length) +
            vault_id.ljust(36, b'\0')[:36] + struct.pack('<Q', generation))
    covered = body[:40] + bytes(36) + body[76:84]
    digest = hashlib.blake2b(covered, digest_size=12).digest() if checksum else bytes(12)
    return body + digest


def image(slot0=b'', slot1=b'', size=None):
    data = slot0.ljust(SLOT, b'\0') + slot1.ljust(SLOT, b'\0') if slot1 else slot0
    if size is not None:
        data = data[:size].ljust(size, b'\0')
    return data


def container_images():
    """Small images: index regions of 64 bytes keep them short, and a reader must treat them
    as any other."""
    h = header
    return {
        'slot0-valid': image(h(), size=FIRST_INDEX + 64),
        'both-valid-slot1-newer': image(h(generation=1), h(offset=FIRST_INDEX + 64, generation=2),
                                        size=FIRST_INDEX + 128),
        'both-valid-tie': image(h(generation=3), h(offset=FIRST_INDEX + 64, generation=3),
                                size=FIRST_INDEX + 128),
        'legacy-slot0': image(h(fmt=4, checksum=False, capacity=128), size=FIRST_INDEX + 128),
        'slot0-checksum-mismatch': image(h()[:-1] + b'\x01', h(offset=FIRST_INDEX + 64),
                                         size=FIRST_INDEX + 128),
        'unknown-format': image(h(fmt=6), h(fmt=4, checksum=False), size=FIRST_INDEX + 64),
        'index-past-end': image(h(capacity=524240, length=100), size=1000),
        'offset-near-2-64': image(h(offset=2**64 - 11), size=FIRST_INDEX + 64),
        'length-over-capacity': image(h(length=65), size=FIRST_INDEX + 64),
        'odd-vault-id': image(h(vault_id=b'\n\x1b[31mred\xff\xfe\xf0\x9f\x98\x80'),
                              size=FIRST_INDEX + 64),
        'interrupted-create': image(MAGIC[:5], size=FIRST_INDEX),
        'magic-in-slot1-only': image(bytes(SLOT), MAGIC, size=FIRST_INDEX),
        'truncated-50': image(h(), size=50),
        'one-slot-only': image(h(), size=SLOT),
    }


def padded(text, remainder):
    """text with trailing spaces until its length leaves remainder when divided by 6: the
    envelope target hands a payload to the settings reader of that number."""
    data = text.encode()
    while len(data) % 6 != remainder:
        data += b' '
    return data


def envelope_payloads():
    return {
        'idlelock': padded(json.dumps({'timeoutMinutes': 15}), 0),
        'idlelock-fraction': padded(json.dumps({'timeoutMinutes': 2.5}), 0),
        'storage': padded(json.dumps({
            'backend': 'rawdisk',
            'rawDiskClaim': {'diskNumber': 1, 'claimedStartOffset': '1048576',
                             'claimedLength': '4096', 'sectorSize': '512',
                             'diskSerialHash': 'AAEC'},
            'container': {'overrideDirectory': '/srv/vaults/', 'overrideFileName': 'v.kvxs',
                          'hidden': True, 'deleteRestricted': False,
                          'pendingMigrateFromPath': '/old/vault.kvxs',
                          'pendingMigrateAttempts': 2},
            'maxVaultSizeBytes': '1073741824', 'pendingDeletePath': '',
            'pendingDeleteAttempts': 0, 'pendingDeleteRawDisk': False,
            'boundVaultId': VAULT_ID.decode(), 'boundVaultIdRecorded': True}), 1),
        'generations': padded(json.dumps({'vaults': {VAULT_ID.decode(): '12', 'other': '3'},
                                          'storageBindings': ['11', '10']}), 2),
        'twofactor': padded(json.dumps({'enabled': True, 'wrappedSecret': 'AAECAwQF',
                                        'pendingWrappedSecret': '', 'lastVerifiedCounter': 57,
                                        'wrapSalt': 'AAECAwQFBgcICQoLDA0ODw=='}), 3),
        'transition': padded(json.dumps({'vaultRekeyed': False, 'vaultGenerationAtStart': '5',
                                         'username': 'ada', 'passwordHash': '$argon2id$v=19$',
                                         'keySalt': 'AAECAwQFBgcICQoLDA0ODw==',
                                         'wrappedVaultKey': 'AAEC', 'enabled': True}), 4),
        'lockout': padded(json.dumps({'failedCount': 7, 'cooldownUntil': '2024-03-01T12:00:30Z',
                                      'lastSeen': '2024-03-01T11:59:59Z',
                                      'keySalt': 'AAECAwQFBgcICQoLDA0ODw=='}), 5),
        'authenticated-envelope': b'KVXSAJV2' + bytes(32) + b'{"timeoutMinutes":5}',
        'encrypted-envelope': b'KVXSEJV1' + bytes(24) + b'\x01' + bytes(40),
    }


def archive(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return buffer.getvalue()


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def main(out):
    for name, data in container_images().items():
        write(os.path.join(out, 'container_image'), name, data)
        write(os.path.join(out, 'inspect'), name, data)
    for name, data in envelope_payloads().items():
        write(os.path.join(out, 'envelopes'), name, data)

    word = os.path.join(out, 'wordtext')
    sheet = os.path.join(out, 'spreadsheet')
    for i, body in enumerate(WORD_BODIES):
        write(word, f'body{i}.xml', body)
        write(word, f'archive{i}.docx', archive([('[Content_Types].xml', '<Types/>'),
                                                 ('word/document.xml', body)]))
    write(sheet, 'parts.xml', '\0'.join([SHARED] + SHEETS))
    write(sheet, 'archive.xlsx', archive([('xl/sharedStrings.xml', SHARED)] +
                                         [(f'xl/worksheets/sheet{10 - 8 * i}.xml', s)
                                          for i, s in enumerate(SHEETS)]))
    try:
        import docx
        d = docx.Document()
        d.add_paragraph('First')
        d.add_paragraph('Second').add_run().add_tab()
        d.save(os.path.join(word, 'python-docx.docx'))
    except ImportError:
        pass
    try:
        import openpyxl
        wb = openpyxl.Workbook()
        ws = wb.active
        ws['A1'], ws['B2'], ws['C3'], ws['D4'] = 'text', 42, True, '=A1'
        wb.create_sheet('Other')['A1'] = 'other'
        wb.save(os.path.join(sheet, 'openpyxl.xlsx'))
    except ImportError:
        pass


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'fuzz-seeds')
