#!/usr/bin/env node
// Parses an HCL file with HashiCorp's parser (@cdktf/hcl2json) and prints it as JSON.
// Usage: node tools/hcl2json.js <file.tf>
// Exit status: 0 parsed; 1 the HCL does not parse; 2 the parser module is not installed.
'use strict';
const fs = require('fs');

let hcl;
try {
  hcl = require('@cdktf/hcl2json');
} catch (e) {
  process.stderr.write('hcl2json: @cdktf/hcl2json is not installed (run: cd tools && npm install): ' +
                       e.message + '\n');
  process.exit(2);
}

const file = process.argv[2];
if (!file) {
  process.stderr.write('usage: node hcl2json.js <file.tf>\n');
  process.exit(2);
}

hcl.parse(file, fs.readFileSync(file, 'utf8'))
    .then((json) => {
      process.stdout.write(JSON.stringify(json) + '\n');
    })
    .catch((err) => {
      process.stderr.write('hcl2json: ' + file + ' does not parse: ' + String(err) + '\n');
      process.exit(1);
    });
