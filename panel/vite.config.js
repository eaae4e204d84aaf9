// One file, index.html with its script and styles inside: mosquitto's
// http_dir serves files without a content type, which a browser refuses for
// a module script or a style sheet of its own but not for the page itself.
// Beside it, the licences of the packages bundled into it.
import path from 'node:path';
import license from 'rollup-plugin-license';
import { defineConfig } from 'vite';
import { viteSingleFile } from 'vite-plugin-singlefile';

const outDir = path.resolve(process.env.PANEL_OUT_DIR || 'dist');

export default defineConfig({
  base: './',
  plugins: [
    viteSingleFile(),
    license({ thirdParty: { output: { file: path.join(outDir, 'THIRD-PARTY-LICENSES.txt') } } }),
  ],
  build: { outDir, emptyOutDir: true },
  test: { include: ['test/**/*.test.js'] },
});
