// A real MCP client (the official TypeScript SDK) against build/zelk-mcp over stdio:
// connect and initialize, list the tools, ping, call a tool, close. Exits 0 when all held.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import assert from "node:assert/strict";
import { readFileSync, existsSync } from "node:fs";
import { setTimeout as sleep } from "node:timers/promises";

const [binary, home] = process.argv.slice(2);
const transport = new StdioClientTransport({
  // The shell records the program's exit status once the client closes its input.
  command: "/bin/sh",
  args: ["-c", `"$0"; echo $? > "$1/status"`, binary, home],
  env: { ...process.env, HOME: home, XDG_DATA_HOME: `${home}/data` },
  stderr: "inherit",
});
const client = new Client({ name: "interop-test", version: "1.0.0" });
await client.connect(transport);

const info = client.getServerVersion();
assert.equal(info.name, "zelk");
assert.equal(info.version, "1.0.0");
assert.match(client.getInstructions(), /^For any question about the user's own documents/);

const { tools } = await client.listTools();
assert.deepEqual(tools.map((t) => t.name), [
  "optimize_file", "optimize_text", "smart_select", "table_question",
  "fuse_files", "find_text", "list_bases", "propose_base",
]);
assert.equal(tools[0].annotations.readOnlyHint, true);

await client.ping();

const result = await client.callTool({ name: "no_such_tool", arguments: {} });
assert.equal(result.isError, true);
assert.equal(result.content[0].text, "Unknown tool: no_such_tool");

await client.close();
const statusFile = `${home}/status`;
for (let i = 0; i < 50 && !existsSync(statusFile); i++) await sleep(100);
assert.equal(readFileSync(statusFile, "utf8").trim(), "0", "zelk-mcp exit status");
console.log("interop: connect, initialize, tools/list, ping, tools/call and close all passed");
