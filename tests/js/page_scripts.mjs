// Loads the page's very script files (no copies) into one fresh context, in the order given,
// and hands back the module objects asked for. The context has the browser's TextEncoder and URLSearchParams.
import { readFileSync } from "node:fs";
import vm from "node:vm";

const DIR = new URL("../../src/halvex/templates/js/", import.meta.url);

export function loadScripts(files, names) {
  const ctx = vm.createContext({ TextEncoder, URLSearchParams });
  for (const f of files) vm.runInContext(readFileSync(new URL(f + ".js", DIR), "utf8"), ctx, { filename: f + ".js" });
  return Object.fromEntries(names.map((n) => [n, ctx[n]]));
}
