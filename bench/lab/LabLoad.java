import com.palvex.printer.demo.SampleReceipt;
import com.palvex.printer.demo.Till;
import com.palvex.printer.sim.lab.VirtualPrinter;

/**
 * Receipts a second through the natives: the demo till prints as fast as it can. With
 * {@code --plug} it plugs in its own printer (no agent, no panel); without, the printer is
 * the lab agent's, and it begins once a line on its input says that the page is open.
 *
 * <pre>LabLoad [--plug] SECONDS</pre>
 */
public final class LabLoad {
    public static void main(String[] args) throws java.io.IOException {
        boolean plug = args.length > 1 && args[0].equals("--plug");
        double seconds = Double.parseDouble(args[args.length - 1]);
        if (plug) VirtualPrinter.plugIn();
        Till till = new Till();
        if (till.open() < 0) throw new IllegalStateException("no printer");
        byte[] receipt = SampleReceipt.escpos(1, "");
        if (!plug) new java.io.BufferedReader(new java.io.InputStreamReader(System.in)).readLine();
        long start = System.nanoTime();
        long end = start + (long) (seconds * 1e9);
        int printed = 0;
        while (System.nanoTime() < end) {
            if (till.write(receipt) != 0) throw new IllegalStateException("a write failed");
            printed++;
        }
        double elapsed = (System.nanoTime() - start) / 1e9;
        System.out.printf("%.1f receipts/s%n", printed / elapsed);
        till.close();
    }
}
