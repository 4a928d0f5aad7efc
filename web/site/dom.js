// Small helpers for making the page's elements and its text. Everything
// that comes from a file goes into the page as text, never as markup.

export const numbers = new Intl.NumberFormat('en', { maximumFractionDigits: 0 });

export function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className)
    node.className = className;
  if (text !== undefined)
    node.textContent = text;
  return node;
}

// Text isolated from its surroundings: a name may hold characters that
// reorder the text around it.
export function isolated(text) {
  return element('bdi', null, text);
}

export function formatBytes(n) {
  if (n < 1000)
    return `${n} bytes`;
  const units = ['kB', 'MB', 'GB'];
  let value = n;
  let unit = -1;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit++;
  }
  return `${value.toFixed(value < 10 ? 2 : value < 100 ? 1 : 0)} ${units[unit]}`;
}

export function formatSeconds(s) {
  return s < 10 ? `${s.toFixed(2)} s` : s < 60 ? `${s.toFixed(1)} s`
    : `${Math.floor(s / 60)} min ${(s % 60).toFixed(0)} s`;
}
