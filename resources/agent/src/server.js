// Entry point started by the desktop app: serve on ZEL_AGENT_HOST:ZEL_AGENT_PORT until SIGTERM, or
// until the app's channel (ZEL_AGENT_CHANNEL_FD, see channel.js) closes.
import net from 'node:net';
import { createAgentServer } from './app.js';
import { loadConfig } from './config.js';

const config = loadConfig();
if (!Number.isInteger(config.port)) {
  console.error(`Invalid ZEL_AGENT_PORT: ${JSON.stringify(process.env.ZEL_AGENT_PORT)}`);
  process.exit(2);
}

if (config.token === null) {
  console.error('Invalid ZEL_AGENT_TOKEN: expected 43 characters of base64url (32 random bytes).');
  process.exit(2);
}

if (!config.stateDir) console.error('No home folder: paired devices are kept only until the server stops.');

const channelFd = process.env.ZEL_AGENT_CHANNEL_FD;
if (channelFd !== undefined && !/^([3-9]|[1-9]\d{1,4})$/.test(channelFd)) {
  console.error(`Invalid ZEL_AGENT_CHANNEL_FD: ${JSON.stringify(channelFd)}`);
  process.exit(2);
}
let channel = null;
try {
  channel = channelFd === undefined ? null : new net.Socket({ fd: Number(channelFd), readable: true, writable: true });
} catch (err) {
  console.error(`Cannot open the app's channel on descriptor ${channelFd}: ${err.message}`);
  process.exit(2);
}

const agent = await createAgentServer(config, { channel });
try {
  const address = await agent.listen();
  console.log(`Agent server listening on http://${config.host}:${address.port}`);
} catch (err) {
  console.error(`Agent server cannot listen on ${config.host}:${config.port}: ${err.message}`);
  process.exit(1);
}

let stopping = false;
function stop(signal) {
  if (stopping) return;
  stopping = true;
  console.log(`Agent server stopping (${signal})`);
  // Open terminals and streams must not hold the exit up for long.
  setTimeout(() => process.exit(0), 2000).unref();
  agent.close().then(() => process.exit(0));
}
process.on('SIGTERM', () => stop('SIGTERM'));
process.on('SIGINT', () => stop('SIGINT'));
// The app reads our output through a pipe; when it is gone, so is our reason to run.
process.stdout.on('error', () => stop('stdout closed'));
channel?.on('close', () => stop('channel closed'));
