// What the user does to a run's clips: replaces one with another sound
// (replacing.js), undoes that, and saves the resource with its clips
// replaced, made by zumpack (downloads.js). An entry is a run and its view,
// as app.js keeps them; each step says how it went through say(text).
import { formatBytes, numbers } from './dom.js';
import { saveResource } from './downloads.js';
import { makeReplacement } from './replacing.js';

const plural = (n, one, many) => `${numbers.format(n)} ${n === 1 ? one : many}`;

/**
 * @param {(text: string) => void} say  puts text on the page's status line
 * @param {(entry: object) => boolean} shown  whether an entry is still on the page
 */
export function createEdits(say, shown) {
  return {
    // Replaces the clip of a run named name (its file's name) with the
    // sound of file, once the browser has decoded it; says so, or why not.
    replace(entry, name, file) {
      say(`Reading ${file.name} for ${name}…`);
      makeReplacement(file, entry.run.clips.get(name)).then((replacement) => {
        if (!shown(entry)) {   // cleared meanwhile
          URL.revokeObjectURL(replacement.clip.url);
          return;
        }
        const earlier = entry.run.replacements.get(name);
        entry.run.replacements.set(name, replacement);
        entry.view.render();
        if (earlier)
          URL.revokeObjectURL(earlier.clip.url);
        say(`${name} replaced with ${file.name}.`);
      }, (error) => {
        console.warn(`zumrip: ${name}: ${error.message}`);
        say(`${name} was not replaced: ${error.message}.`);
      });
    },

    // Gives the clip of a run named name back its extracted sound.
    restore(entry, name) {
      const replacement = entry.run.replacements.get(name);
      if (!replacement)
        return;
      entry.run.replacements.delete(name);
      entry.view.render();
      URL.revokeObjectURL(replacement.clip.url);
      say(`${name} is as extracted again.`);
    },

    // Saves the run's resource with its clips replaced.
    saveResource(entry) {
      const run = entry.run;
      if (run.packing || run.replacements.size === 0)
        return;
      const replaced = plural(run.replacements.size, 'clip', 'clips');
      run.packing = true;
      entry.view.render();
      say(`Making ${run.file.name} with ${replaced} replaced…`);
      saveResource(run).then(
        (made) => say(`${made.name}: ${replaced} replaced, ${formatBytes(made.size)}.`),
        (error) => {
          console.warn(`zumrip: ${run.file.name}: ${error.message}`);
          say(`${run.file.name} could not be made: ${error.message}`);
        }).finally(() => {
        run.packing = false;
        entry.view.render();
      });
    },
  };
}
