// The part of fflate the page uses, its zip writer: esbuild bundles this
// into the site's fflate.js (web/CMakeLists.txt), leaving the rest out.
export { zipSync } from 'fflate';
