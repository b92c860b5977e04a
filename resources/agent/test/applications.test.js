// Desktop entries: parsing, Exec field codes and quoting, which entries count, finding one by name,
// and starting one detached without a shell.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import {
  applicationDirs, execArguments, findApplication, installedApplications, launchApplication, parseDesktopEntry,
} from '../src/applications.js';

const app = (exec, extra = {}) => ({ id: 'x.desktop', name: 'X Editor', file: '/apps/x.desktop', icon: '', exec, ...extra });

test('Exec lines expand their field codes and keep their quoting', () => {
  const cases = [
    ['%f without a file is dropped', 'editor %f', [], ['editor']],
    ['%f with one file', 'editor %f', ['/tmp/a b'], ['editor', '/tmp/a b']],
    ['%F with files', 'editor --open %F', ['/a', '/b'], ['editor', '--open', '/a', '/b']],
    ['%u inside an argument', 'browser --url=%u', ['http://x/'], ['browser', '--url=http://x/']],
    ['%% is a percent sign', 'printf 100%%', [], ['printf', '100%']],
    ['%c is the name, %k the file', 'run %c %k', [], ['run', 'X Editor', '/apps/x.desktop']],
    ['%i without an icon is dropped', 'editor %i', [], ['editor']],
    ['%i with an icon', 'editor %i', [], ['editor', '--icon', 'x-icon'], { icon: 'x-icon' }],
    ['deprecated codes are dropped', 'old %d %D %n %N %v %m go', [], ['old', 'go']],
    ['double quotes group words', 'sh -c "echo one two"', [], ['sh', '-c', 'echo one two']],
    ['escapes inside quotes', String.raw`sh -c "echo \"\$HOME\" \\ \`x\`"`, [], ['sh', '-c', 'echo "$HOME" \\ `x`']],
    ['an empty quoted argument', 'prog "" end', [], ['prog', '', 'end']],
    ['runs of blanks', '  prog \t a   --b ', [], ['prog', 'a', '--b']],
    ['shell characters stay literal', 'prog ;rm -rf $HOME|x', [], ['prog', ';rm', '-rf', '$HOME|x']],
  ];
  for (const [what, exec, files, expected, extra] of cases) {
    assert.deepEqual(execArguments(app(exec, extra), files), expected, what);
  }
});

test('bad Exec lines and unsupported files are refused with the entry named', () => {
  const cases = [
    ['an unterminated quote', 'prog "open', [], /x\.desktop: .*unterminated quote/],
    ['an unknown field code', 'prog %z', [], /invalid field code "%z"/],
    ['no Exec line', '', [], /has no Exec line/],
    ['only field codes', '%f', [], /empty Exec line/],
    ['files to an entry without a file code', 'prog', ['/a'], /does not take files/],
    ['two files to %f', 'prog %f', ['/a', '/b'], /one file at a time/],
  ];
  for (const [what, exec, files, message] of cases) {
    assert.throws(() => execArguments(app(exec), files), message, what);
  }
});

test('an entry file is read from its [Desktop Entry] group only, with escapes undone', () => {
  const entry = parseDesktopEntry(['# comment', '[Desktop Entry]', 'Type=Application', 'Name=Text Editor', 'Name[de]=Texteditor',
    'Comment=Tab\\there\\nand\\\\back', 'Exec = editor %F ', 'Name=second value ignored', '', '[Desktop Action new]', 'Exec=editor --new'].join('\r\n'));
  assert.deepEqual(entry, {
    Type: 'Application', Name: 'Text Editor', 'Name[de]': 'Texteditor', Comment: 'Tab\there\nand\\back', Exec: 'editor %F',
  });
  assert.equal(parseDesktopEntry('[Other]\nName=x\n'), null);
});

function xdgTree(t) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-apps-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  const write = (file, lines) => {
    fs.mkdirSync(path.dirname(path.join(root, file)), { recursive: true });
    fs.writeFileSync(path.join(root, file), ['[Desktop Entry]', ...lines, ''].join('\n'));
  };
  const env = { HOME: root, XDG_DATA_HOME: path.join(root, 'home'), XDG_DATA_DIRS: `${root}/sys:relative/ignored`, PATH: '/usr/bin:/bin' };
  return { root, write, env };
}

test('which entries count: first id wins, Hidden hides it, TryExec must exist, NoDisplay only by id', (t) => {
  const { root, write, env } = xdgTree(t);
  assert.deepEqual(applicationDirs(env), [path.join(root, 'home/applications'), path.join(root, 'sys/applications')]);
  write('home/applications/editor.desktop', ['Type=Application', 'Name=Home Editor', 'Exec=true']);
  write('sys/applications/editor.desktop', ['Type=Application', 'Name=System Editor', 'Exec=true']);
  write('home/applications/gone.desktop', ['Type=Application', 'Name=Gone', 'Hidden=true', 'Exec=true']);
  write('sys/applications/gone.desktop', ['Type=Application', 'Name=Gone', 'Exec=true']);
  write('sys/applications/missing.desktop', ['Type=Application', 'Name=Missing', 'TryExec=no-such-program-zel', 'Exec=true']);
  write('sys/applications/present.desktop', ['Type=Application', 'Name=Present', 'TryExec=sh', 'Exec=true']);
  write('sys/applications/link.desktop', ['Type=Link', 'Name=A Link', 'URL=http://x/']);
  write('sys/applications/helper.desktop', ['Type=Application', 'Name=Helper', 'NoDisplay=true', 'Exec=true']);
  write('sys/applications/kde/viewer.desktop', ['Type=Application', 'Name=Viewer', 'Keywords=image;photo;', 'Exec=true']);
  write('sys/applications/editor2.desktop', ['Type=Application', 'Name=Editor Two', 'Name[fr]=Éditeur', 'Exec=true']);

  const apps = installedApplications(env);
  assert.deepEqual(apps.map((a) => a.id).sort(), ['editor.desktop', 'editor2.desktop', 'helper.desktop', 'kde-viewer.desktop', 'present.desktop']);
  const cases = [
    ['an id', 'editor.desktop', 'Home Editor'],
    ['an id without .desktop, any case', 'KDE-Viewer', 'Viewer'],
    ['an exact name wins over partial ones', 'home editor', 'Home Editor'],
    ['a translated name', 'éditeur', 'Editor Two'],
    ['a keyword', 'photo', 'Viewer'],
    ['a NoDisplay entry by its id', 'helper', 'Helper'],
  ];
  for (const [what, query, name] of cases) assert.equal(findApplication(apps, query).name, name, what);
  const refusals = [
    ['several partial matches', 'edit', /matches several applications: .*editor\.desktop/],
    ['a NoDisplay entry by a part of its name', 'Help', /No installed application matches/],
    ['a hidden entry', 'Gone', /No installed application matches/],
    ['nothing', '  ', /Give an application name/],
  ];
  for (const [what, query, message] of refusals) assert.throws(() => findApplication(apps, query), message, what);
});

test('a launch runs detached, without a shell, without the agent\'s variables', async (t) => {
  const { root, write, env } = xdgTree(t);
  const out = path.join(root, 'out.txt');
  write('home/applications/probe.desktop', [
    'Type=Application', 'Name=Probe', `Path=${root}`,
    String.raw`Exec=sh -c "echo \\"\\$0|\\$ZEL_AGENT_SECRET|\\$(pwd)\\" > ${out}" %f`,
  ]);
  const apps = installedApplications(env);
  const probe = findApplication(apps, 'probe');
  const started = await launchApplication(probe, { files: ['/tmp/x;$(touch /tmp/zel-injected)'], env: { ...env, ZEL_AGENT_SECRET: 'secret' } });
  assert.ok(started.pid > 0);
  for (let i = 0; i < 100 && !fs.existsSync(out); i += 1) await sleep(50);
  const line = fs.readFileSync(out, 'utf8').trim();
  assert.equal(line, `/tmp/x;$(touch /tmp/zel-injected)||${root}`);
  assert.equal(fs.existsSync('/tmp/zel-injected'), false);

  await assert.rejects(launchApplication({ ...probe, exec: 'no-such-program-zel' }, { env }), /"no-such-program-zel" is not installed/);
  await assert.rejects(launchApplication(probe, { files: ['relative/file'], env }), /neither an absolute path nor a URL/);
});
