#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets: small archives in the shapes the test suites use,
documents written by python-docx and openpyxl when they are installed, and bare XML bodies,
which the targets pack into an archive themselves.

    python3 fuzz/make_seeds.py OUTDIR   ->  OUTDIR/wordtext/, OUTDIR/spreadsheet/
"""
import io
import os
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
