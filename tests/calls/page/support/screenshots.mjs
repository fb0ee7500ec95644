import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const dir = process.env.MURNAVELL_SCREENSHOTS || path.resolve(
  path.dirname(fileURLToPath(import.meta.url)), '../../../../build/screenshots');

export async function shot(page, name) {
  fs.mkdirSync(dir, { recursive: true });
  await page.screenshot({ path: path.join(dir, `${name}.png`) });
}
