// The tus 1.0 server that the end-to-end tests upload to: @tus/server with its file
// store, on loopback at the port given, storing under the folder given.
const http = require("http");
const { Server } = require("@tus/server");
const { FileStore } = require("@tus/file-store");

const [directory, port] = process.argv.slice(2);
// Behind a TLS front (nginx), its upload URLs name the front, as X-Forwarded-* say.
const tus = new Server({ path: "/files", datastore: new FileStore({ directory }), respectForwardedHeaders: true });
const server = http.createServer((req, res) => tus.handle(req, res));
server.listen(Number(port), "127.0.0.1");
process.on("SIGTERM", () => process.exit(0));
