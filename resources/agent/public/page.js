// The page on the phone's screen: kept above the soft keyboard, the portrait fill switch, and the
// first-run hint on the gestures.
import { layout, toggleFillHeight } from './picture.js';
import { $ } from './status.js';

// Where the browser does not resize the page for the soft keyboard (the viewport meta asks for it;
// Safari ignores that), the page takes the visual viewport's height and place, so the panel stays
// above the keyboard. The picture's ResizeObserver keeps the caret's area in sight. A page zoomed
// by the user's own pinch is left alone.
const visible = window.visualViewport;
function fitVisible() {
  const body = document.body.style;
  if (!visible || Math.abs(visible.scale - 1) > 0.01) {
    body.height = '';
    body.transform = '';
    return;
  }
  body.height = `${visible.height}px`;
  body.transform = visible.offsetTop > 0 ? `translateY(${visible.offsetTop}px)` : '';
}
visible?.addEventListener('resize', fitVisible);
visible?.addEventListener('scroll', fitVisible);
fitVisible();

$('fit').addEventListener('click', toggleFillHeight);

// Three lines on the gestures, until the user says they have read them.
const kHintKey = 'zel-gesture-hint-seen';
const remembered = () => {
  try {
    return localStorage.getItem(kHintKey) === '1';
  } catch {
    return false; // storage refused: the hint shows again next time, nothing worse
  }
};
$('hint').hidden = remembered();
$('hint-close').addEventListener('click', () => {
  $('hint').hidden = true;
  try {
    localStorage.setItem(kHintKey, '1');
  } catch {}
  layout();
});
