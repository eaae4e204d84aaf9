// One file, index.html with its script and styles inside: mosquitto's
// http_dir serves files without a content type, which a browser refuses for
// a module script or a style sheet of its own but not for the page itself.
import { defineConfig } from 'vite';
import { viteSingleFile } from 'vite-plugin-singlefile';

export default defineConfig({
  base: './',
  plugins: [viteSingleFile()],
  build: { outDir: process.env.PANEL_OUT_DIR || 'dist', emptyOutDir: true },
  test: { include: ['test/**/*.test.js'] },
});
