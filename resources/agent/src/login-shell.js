// The user's login shell, as the terminal and one-off commands start it.
import os from 'node:os';

// The shell, its directory and environment; `extra` adds variables of the caller's (the terminal's
// TERM). The agent's own variables, the control service's secret among them, stay with the server.
export function loginShell(env, extra = {}) {
  let info = {};
  try {
    info = os.userInfo();
  } catch {
    // no passwd entry: fall back on the environment
  }
  const shell = env.SHELL || info.shell || '/bin/sh';
  const home = env.HOME || info.homedir || '/';
  const inherited = Object.fromEntries(Object.entries(env).filter(([k]) => !k.startsWith('ZEL_AGENT_')));
  return {
    file: shell,
    cwd: home,
    env: { ...inherited, HOME: home, USER: env.USER || info.username || '', SHELL: shell, LANG: env.LANG || 'C.UTF-8', ...extra },
  };
}
