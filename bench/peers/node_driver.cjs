// Drives the npm packages `tokenizers` and `tiktoken` for bench/compare.sh,
// which installs them into a scratch directory and points NODE_PATH there.
//
//   node node_driver.cjs tokenizers-train CORPUS OUT.json
//       BPE on a whitespace-split pre-tokenizer (the binding's default
//       trainer: 30000 tokens); saves the tokenizer.
//   node node_driver.cjs tokenizers-encode TOKENIZER.json CORPUS whole|lines|batch
//       batch: the lines through encodeBatch in one call, which the binding
//       spreads over every core (unless TOKENIZERS_PARALLELISM=false).
//   node node_driver.cjs tiktoken-encode CORPUS whole|lines
//       cl100k_base, from the encoding file shipped in the npm package.
//
// Prints one line: "seconds=<wall seconds of the timed work> tokens=<n>".
'use strict';

const fs = require('fs');

function seconds(start) {
  return Number(process.hrtime.bigint() - start) / 1e9;
}

function pieces(text, mode) {
  if (mode !== 'lines') {
    return [text];
  }
  const lines = text.split(/(?<=\n)/);
  return lines.filter((line) => line.length > 0);
}

async function main(argv) {
  const [command, ...rest] = argv;
  if (command === 'tokenizers-train') {
    const { Tokenizer, BPE, whitespaceSplitPreTokenizer } = require('tokenizers');
    const [corpus, out] = rest;
    const tokenizer = new Tokenizer(BPE.empty());
    tokenizer.setPreTokenizer(whitespaceSplitPreTokenizer());
    const start = process.hrtime.bigint();
    tokenizer.train([corpus]);
    const elapsed = seconds(start);
    tokenizer.save(out);
    console.log(`seconds=${elapsed.toFixed(6)} tokens=${tokenizer.getVocabSize()}`);
    return;
  }
  if (command === 'tokenizers-encode') {
    const { Tokenizer } = require('tokenizers');
    const [model, corpus, mode] = rest;
    const tokenizer = Tokenizer.fromFile(model);
    const inputs = pieces(fs.readFileSync(corpus, 'utf8'), mode === 'batch' ? 'lines' : mode);
    let tokens = 0;
    const start = process.hrtime.bigint();
    if (mode === 'batch') {
      for (const encoding of await tokenizer.encodeBatch(inputs)) {
        tokens += encoding.getLength();
      }
    } else {
      for (const input of inputs) {
        tokens += (await tokenizer.encode(input)).getLength();
      }
    }
    console.log(`seconds=${seconds(start).toFixed(6)} tokens=${tokens}`);
    return;
  }
  if (command === 'tiktoken-encode') {
    const { get_encoding } = require('tiktoken');
    const [corpus, mode] = rest;
    const encoding = get_encoding('cl100k_base');
    const inputs = pieces(fs.readFileSync(corpus, 'utf8'), mode);
    let tokens = 0;
    const start = process.hrtime.bigint();
    for (const input of inputs) {
      tokens += encoding.encode(input).length;
    }
    console.log(`seconds=${seconds(start).toFixed(6)} tokens=${tokens}`);
    encoding.free();
    return;
  }
  throw new Error('usage: tokenizers-train | tokenizers-encode | tiktoken-encode');
}

main(process.argv.slice(2)).catch((error) => {
  console.error(`node_driver: ${error.message}`);
  process.exit(2);
});
