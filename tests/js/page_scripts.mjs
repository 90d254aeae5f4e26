// Loads the page's very script files (no copies) into one fresh context, in the order given,
// and hands back the module objects asked for. The context has the browser's TextEncoder and
// URLSearchParams, and whatever `given` adds (stand-ins for the modules a file is built on).
import { readFileSync } from "node:fs";
import vm from "node:vm";

const DIR = new URL("../../src/halvex/templates/js/", import.meta.url);

export function scriptText(file) {
  return readFileSync(new URL(file + ".js", DIR), "utf8");
}

export function loadScripts(files, names, given = {}) {
  const ctx = vm.createContext({ TextEncoder, URLSearchParams, ...given });
  for (const f of files) vm.runInContext(scriptText(f), ctx, { filename: f + ".js" });
  return Object.fromEntries(names.map((n) => [n, ctx[n]]));
}
