// Generates the text-decoder test vectors with the WHATWG TextDecoder of Node.
// Run once with `node gen_text_vectors.js` from this directory; the tests read the output files:
// text_vectors.txt (hand-picked edge cases and a small random spread, as text) and gbk_table.bin.gz
// (every two-byte GBK pair and a spread of four-byte sequences, as gzipped 8-byte records).
//
// Node's 'gbk' label is wired to a Windows-936 converter that does not follow the WHATWG
// decoder (no four-byte sequences, 0xFF maps to a private-use character); the WHATWG 'gbk'
// decoder is the gb18030 decoder, so that label is used instead.
'use strict';
const fs = require('fs');
const zlib = require('zlib');

const decoders = {
  gbk: new TextDecoder('gb18030', { ignoreBOM: true }),
  utf8: new TextDecoder('utf-8', { ignoreBOM: true }),
  utf16le: new TextDecoder('utf-16le', { ignoreBOM: true }),
  utf16be: new TextDecoder('utf-16be', { ignoreBOM: true }),
};

const hex = (buf) => (buf.length ? Buffer.from(buf).toString('hex') : '-');
const utf8hex = (s) => hex(Buffer.from(s, 'utf8'));

// The WHATWG decode algorithm: a byte-order mark picks the encoding, else the fallback.
function sniff(buf) {
  if (buf.length >= 3 && buf[0] === 0xef && buf[1] === 0xbb && buf[2] === 0xbf)
    return decoders.utf8.decode(buf.subarray(3));
  if (buf.length >= 2 && buf[0] === 0xff && buf[1] === 0xfe) return decoders.utf16le.decode(buf.subarray(2));
  if (buf.length >= 2 && buf[0] === 0xfe && buf[1] === 0xff) return decoders.utf16be.decode(buf.subarray(2));
  return decoders.gbk.decode(buf);
}
const trimNuls = (s) => s.replace(/\u0000+$/u, '');

const h = (s) => Buffer.from(s.replace(/\s+/g, ''), 'hex');
const cases = {
  gbk: [
    '', '41', 'c4e3', 'c4e3bac3', 'c6bdb0b2d2f8d0d0', '80', '8041', '80ff80', 'ff', 'ff41', 'fe', '81',
    '41a1', 'a1', 'a1a1', 'a17f', 'a141', 'a1ff', '81ff', '8180', '817f', '81 30', '8130 81', '81308',
    '81308130', '8139ee39', '8135f437', '8135f43741', '84318730', '84318739', '8431a439', '84318a30',
    '90308130', 'e3329a35', 'e3329a36', 'fe39fe39', '8130 7f', '8130 817f', '8130 813a', '8130 81ff',
    '8130 ff30', '8430', 'a3a0', 'a8bc', 'a6d9', 'a6ec', 'a6f3', 'fe51', 'fe59', 'fea0', 'd7fa', 'fe50',
    'a2e3', 'a2e341', '4142000000', 'c4e30000', '00c4e3', 'a1a100', 'b0a1 00 b0a1', 'a1 00', '81 30 00',
  ],
  utf8: [
    '', '41', 'c3a9', 'e4bda0', 'f09f9880', 'c0', 'c080', 'c1bf', 'e080', 'e0a0', 'e0a080', 'eda080',
    'ed9fbf', 'f08f', 'f090', 'f4908080', 'f48fbfbf', 'f5', 'ff', 'fe', '80', 'bf', 'e4bd', 'e4bd41',
    'f09f98', 'f09f9841', 'e4 80 80 80', 'c2 41', 'efbbbf41', '414200', '0000', 'e4bda000',
  ],
  utf16le: [
    '', '4100', '41', '410042', '3dd800de', '3dd8', '3dd84100', '00de', '00de4100', '3dd83dd800de',
    '3dd841', '4100 0000', '604f7d59', '3dd800e0',
  ],
  utf16be: [
    '', '0041', '00', '004100', 'd83dde00', 'd83d', 'd83d0041', 'de00', 'd83dd83dde00', 'd83d41',
    '4f60597d', '0041 0000',
  ],
  sniff: [
    '', 'efbbbf', 'efbbbf4142', 'efbbbf41420000', 'efbbbfc4e3', 'efbbbfefbbbf41', 'fffe', 'fffe4100',
    'fffe410042', 'fffe3dd800de', 'fffe3dd8', 'fffe00de', 'feff', 'feff0041', 'feff004100',
    'feffd83dde00', 'feffd83d', 'fe', 'ff', 'efbb', 'efbb41', 'fffe604f', 'feff4f60', 'c4e3', 'ef',
    'c6bdb0b2d2f8d0d0', 'ef bb bf 41 42 00 00 00', '80', '8139ee39', 'fffe 4100 0000 00',
  ],
};

// A deterministic spread of short inputs drawn from the bytes that matter to the decoders.
let seed = 20240131;
const next = () => ((seed = (seed * 1103515245 + 12345) >>> 0) >>> 8);
const alphabet = [0x00, 0x30, 0x35, 0x39, 0x41, 0x7f, 0x80, 0x81, 0x84, 0x90, 0xa1, 0xa3, 0xbb, 0xbf,
  0xc4, 0xd8, 0xdc, 0xe3, 0xef, 0xfe, 0xff];
for (let i = 0; i < 64; i++) {
  const len = next() % 12;
  const bytes = [];
  for (let j = 0; j < len; j++) bytes.push(next() % 4 === 0 ? next() % 256 : alphabet[next() % alphabet.length]);
  const s = Buffer.from(bytes).toString('hex');
  cases.gbk.push(s);
  cases.utf8.push(s);
  cases.sniff.push(s);
  if (i % 2 === 0) { cases.utf16le.push(s); cases.utf16be.push(s); }
}

const lines = ['# kind input-hex expected-utf8-hex ("-" is empty); name = sniff with trailing NULs removed'];
for (const [kind, inputs] of Object.entries(cases)) {
  for (const input of inputs) {
    const buf = h(input);
    const out = kind === 'sniff' ? sniff(buf) : decoders[kind].decode(buf);
    lines.push(`${kind} ${hex(buf)} ${utf8hex(out)}`);
    if (kind === 'sniff') lines.push(`name ${hex(buf)} ${utf8hex(trimNuls(out))}`);
  }
}
fs.writeFileSync('text_vectors.txt', lines.join('\n') + '\n');

// Every two-byte sequence, and a spread of the four-byte ones, through the gbk decoder. Each record
// is 8 bytes: the input zero-padded to 4 (a four-byte sequence never has a 0 third byte), then the
// single decoded code point as a little-endian u32.
const records = [];
const record = (buf) => {
  const cps = [...decoders.gbk.decode(buf)].map((c) => c.codePointAt(0));
  if (cps.length !== 1) throw new Error(`${hex(buf)} decodes to ${cps.length} code points`);
  const r = Buffer.alloc(8);
  buf.copy(r);
  r.writeUInt32LE(cps[0], 4);
  records.push(r);
};
for (let a = 0x81; a <= 0xfe; a++)
  for (let b = 0x40; b <= 0xfe; b++) if (b !== 0x7f) record(Buffer.from([a, b]));
const fourByte = (p) => {
  const b1 = Math.floor(p / 12600), r1 = p % 12600, b2 = Math.floor(r1 / 1260), r2 = r1 % 1260;
  return Buffer.from([b1 + 0x81, b2 + 0x30, Math.floor(r2 / 10) + 0x81, (r2 % 10) + 0x30]);
};
for (let p = 0; p < 39420; p += 7) record(fourByte(p));
for (const p of [7457, 39419, 39420, 188999, 189000, 189001, 500000, 1237575, 1237576, 1587599]) record(fourByte(p));
fs.writeFileSync('gbk_table.bin.gz', zlib.gzipSync(Buffer.concat(records), { level: 9 }));
