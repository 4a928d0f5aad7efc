// Picking and dropping: files chosen with the page's button or dropped
// anywhere on the page are handed to onFiles, as an array.
export function takeFiles(pick, drop, onFiles) {
  pick.addEventListener('change', () => {
    onFiles([...pick.files]);
    pick.value = '';
  });
  let depth = 0;   // dragenter less dragleave, as they come for every element
  document.addEventListener('dragenter', (event) => {
    if (!event.dataTransfer || ![...event.dataTransfer.types].includes('Files'))
      return;
    depth++;
    drop.classList.add('dragging');
  });
  document.addEventListener('dragleave', () => {
    depth = Math.max(0, depth - 1);
    if (depth === 0)
      drop.classList.remove('dragging');
  });
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    if (event.dataTransfer)
      event.dataTransfer.dropEffect = 'copy';
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    depth = 0;
    drop.classList.remove('dragging');
    if (event.dataTransfer)
      onFiles([...event.dataTransfer.files]);
  });
}
