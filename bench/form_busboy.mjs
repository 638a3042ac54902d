// Competitor: Node's busboy decodes the request's form data from standard
// input. An upload in the field "upload" is streamed into the file
// BENCH_LAND; the answer counts the fields.
import { createWriteStream } from 'node:fs';
import busboy from 'busboy';

const parser = busboy({
  headers: { 'content-type': process.env.CONTENT_TYPE, 'content-length': process.env.CONTENT_LENGTH },
});
let count = 0;
const landed = [];
parser.on('field', () => { count += 1; });
parser.on('file', (name, stream) => {
  count += 1;
  if (name !== 'upload') { stream.resume(); return; }
  const out = createWriteStream(process.env.BENCH_LAND);
  landed.push(new Promise((resolve, reject) => { out.on('finish', resolve); out.on('error', reject); }));
  stream.pipe(out);
});
parser.on('close', async () => {
  await Promise.all(landed);
  process.stdout.write(`Content-Type: text/plain\r\n\r\n${count} values\n`);
});
parser.on('error', (error) => { console.error(`form_busboy.mjs: ${error.message}`); process.exit(1); });
process.stdin.pipe(parser);
