// What the MCP tools of every session share: input through the control service, the clipboard one
// text at a time, and the cap on shell commands running at once. Failures are thrown as errors
// whose message the model reads.
import { copyText, findClipboardTool } from './clipboard.js';
import { postInput } from './control.js';
import { inputTimeoutMs } from './input-rules.js';
import { runShellCommand } from './shell-command.js';

// The control service's own words, short enough for a model's context.
export function controlMessage(status, body) {
  const text = body.toString('utf8').trim().slice(0, 500);
  return text ? `The control service answered ${status}: ${text}` : `The control service answered ${status}.`;
}

// A tool's answer of one line of text.
export const done = (text) => ({ content: [{ type: 'text', text }] });

export function createToolContext(config, { env, maxCommands }) {
  let typing = Promise.resolve(); // clipboard + paste pairs must not interleave
  let commands = 0;

  return {
    config,

    // The control service's answer as an object.
    async input(request) {
      const answer = await postInput(config.inputUrl, JSON.stringify(request), { timeoutMs: inputTimeoutMs(request) });
      if (answer.status !== 200) throw new Error(controlMessage(answer.status, answer.body));
      try {
        return JSON.parse(answer.body.toString('utf8'));
      } catch {
        return {};
      }
    },

    // One text at a time, so that two sessions' texts (or a text and a paste) never interleave.
    queued(work) {
      const run = typing.then(work);
      typing = run.catch(() => {});
      return run;
    },

    clipboardTool(read = false) {
      const tool = findClipboardTool({ helperBinDir: config.helperBinDir, env, read });
      if (!tool.file) throw new Error(tool.error);
      return tool;
    },

    async copy(tool, text) {
      try {
        await copyText(tool, text);
      } catch (err) {
        throw new Error(`Clipboard: ${err.message}`);
      }
    },

    // runShellCommand's result, unless maxCommands run already.
    async runCommand(command, { timeoutMs, signal }) {
      if (commands >= maxCommands) throw new Error(`${maxCommands} commands are running already; try again when one has finished.`);
      commands += 1;
      try {
        return await runShellCommand(command, { timeoutMs, env, signal });
      } finally {
        commands -= 1;
      }
    },
  };
}
