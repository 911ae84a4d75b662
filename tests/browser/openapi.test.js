// The API description that tessaro serves at /api/openapi.json, checked by a
// maintained OpenAPI validator: the schema of its version, and every $ref
// resolved. That its paths are the routes the server registers is checked by
// the web API test, which has the server's route table.
//
//   node --test tests/browser/openapi.test.js
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');

const DOCUMENT = path.resolve(__dirname, '..', '..', 'web', 'openapi.json');

test('the API description is valid OpenAPI 3.1 and its references resolve', async () => {
  const {Validator} = await import('@seriousme/openapi-schema-validator');
  const validator = new Validator();
  const result = await validator.validate(DOCUMENT);
  assert.ok(result.valid, JSON.stringify(result.errors, null, 2));
  assert.equal(validator.version, '3.1');
  const resolved = validator.resolveRefs();
  // Every route answers JSON, and every failure the board can cause is told.
  for (const [route, methods] of Object.entries(resolved.paths)) {
    for (const [method, operation] of Object.entries(methods)) {
      assert.ok(operation.responses['200'], `${method} ${route}: no success answer`);
      assert.ok(operation.responses['403'], `${method} ${route}: no refusal`);
    }
  }
});
